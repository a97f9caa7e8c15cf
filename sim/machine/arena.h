// RAM below 4 GiB for everything the simulator hands a module as memory (pool, HOBs,
// service tables), so that the modules' 32-bit address fields hold real host addresses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// What this process has mapped over [address, address + size), from /proc/self/maps, for a
// message that says why a fixed mapping failed ("0x3ff00000-0x40100000 rw-p [heap]").
std::string mappings_over(std::uint64_t address, std::uint64_t size);

class Arena {
 public:
  // The one arena of the process, mapped on first use at a fixed address below 2 GiB
  // (also below the sanitizers' shadow memory).
  static Arena &instance();

  static constexpr std::uint64_t kBase = 0x40000000;
  static constexpr std::uint64_t kSize = 128ull << 20;  // all of it, as the emulators map it
  // The stand-ins allocate from the first half. The second half is RAM that firmware run from a
  // volume manages itself (temporary RAM, permanent memory: edk2/SbPkg/SimPlatform/SimMemoryMap.h).
  static constexpr std::uint64_t kAllocatableSize = 64ull << 20;
  static constexpr std::uint64_t kFirmwareRamBase = kBase + kAllocatableSize;

  std::uint8_t *base() const { return base_; }
  std::uint64_t size() const { return kSize; }
  bool contains(const void *p, std::size_t bytes = 1) const;

  // Bump allocation of zeroed memory. Owners free in stack order: take a mark when they
  // start and rewind to it when they end.
  void *allocate(std::size_t bytes, std::size_t align = 8);
  std::size_t mark() const { return used_; }
  void rewind(std::size_t mark) { used_ = mark; }

  // RAM the arena holds at [address, address + bytes), as firmware addresses it: filled with a
  // 32-bit pattern (whole words from `address`, the last one cut short), or given back to the
  // system so that it reads as zero pages again. Throws std::out_of_range outside the arena.
  void fill(std::uint64_t address, std::uint64_t bytes, std::uint32_t pattern);
  void discard(std::uint64_t address, std::uint64_t bytes);

 private:
  Arena();
  std::uint8_t *base_ = nullptr;
  std::size_t used_ = 0;
};

}  // namespace sim
