// SEC, the reset vector's part, for a PEI core run from a volume in the emulator: temporary RAM
// (what cache-as-RAM is on a board) with the PEI core's heap and stack, the SEC-to-PEI hand-off,
// an IDT in writable RAM (the IA32 PEI core keeps its services pointer in the 4 bytes below
// it), and the PPI list SEC passes, whose functions are traps into the simulator. SEC's own
// data lies in RAM just above temporary RAM, where the PEI core never moves it, as if it were
// constant data of a SEC image in flash.
#pragma once
#include <cstdint>
#include <vector>

#include "edk2/SbPkg/SimPlatform/SimMemoryMap.h"
#include "pi/base.h"
#include "pi/ppi/memory_discovered.h"
#include "sim/image/image_cpu.h"

namespace sim {

// PPIs between SEC, the PEI core and the DXE IPL (PI volume 1).
inline constexpr EFI_GUID gEfiDxeIplPpiGuid = {0x0ae8ce5d, 0xe448, 0x4437, {0xa8, 0xd7, 0xeb, 0xf5, 0xf1, 0x94, 0xf7, 0x31}};
inline constexpr EFI_GUID gEfiTemporaryRamDonePpiGuid = {
    0xceab683c, 0xec56, 0x4a2d, {0xa9, 0x06, 0x40, 0x53, 0xfa, 0x4e, 0x9c, 0x16}};

// PPI descriptor flags.
inline constexpr std::uint32_t kPpiFlagPpi = 0x00000010;
inline constexpr std::uint32_t kPpiFlagNotifyCallback = 0x00000020;
inline constexpr std::uint32_t kPpiFlagNotifyDispatch = 0x00000040;
inline constexpr std::uint32_t kPpiFlagTerminate = 0x80000000;

class SecCore {
 public:
  // Temporary RAM, from the simulator platform's memory map.
  static constexpr std::uint64_t kTemporaryRamBase = sbsim::kTemporaryRamBase;
  static constexpr std::uint64_t kTemporaryRamSize = sbsim::kTemporaryRamSize;
  static constexpr std::uint64_t kStackSize = sbsim::kTemporaryStackSize;
  // SEC's data (hand-off, PPI list, interfaces, IDT, scratch for calls it makes).
  static constexpr std::uint64_t kSecData = kTemporaryRamBase + kTemporaryRamSize;
  static constexpr std::uint64_t kSecDataSize = 0x2000;
  // Where SEC copies a PEI core that cannot run in place, relocated.
  static constexpr std::uint64_t kShadow = kSecData + kSecDataSize;
  static constexpr std::uint64_t kShadowSize = sbsim::kPermanentMemoryBase - kShadow;
  // A stack fill the PEI core measures its stack use against.
  static constexpr std::uint32_t kStackFill = 0x5AA55AA5;

  // One entry of SEC's PPI list: a PPI with its interface (32-bit words; a function is a trap
  // address), or a notification whose function is `notify`.
  struct Entry {
    std::uint32_t flags;
    EFI_GUID guid;
    std::vector<std::uint32_t> interface;
    std::uint32_t notify = 0;
  };

  // Where an entry of the list lies: its descriptor, and its interface (0 for a notification).
  struct Placed {
    std::uint32_t descriptor, interface;
  };
  // The most entries the list may hold (each has a 16-byte GUID in SEC's data).
  static constexpr std::size_t kMaxEntries = 32;

  explicit SecCore(ImageCpu &cpu) : cpu_(cpu) {}

  // What a reset leaves: temporary RAM and SEC's data cleared (the stack filled), permanent
  // memory zero. Then the hand-off for `boot_volume` and the PPI list (1 to kMaxEntries
  // entries; std::invalid_argument otherwise, with nothing of the list written).
  std::vector<Placed> prepare(std::uint64_t boot_volume, std::uint64_t volume_size, const std::vector<Entry> &ppis);
  // Copies a PEI core that cannot run where it lies into RAM, relocated; its entry point there.
  std::uint64_t shadow(const PeImage &core);
  // Starts the PEI core in 32-bit flat protected mode with the hand-off and the PPI list. It
  // returns only through an exception: the DXE IPL's, a reset, a fault.
  void start(std::uint64_t entry);

  // Scratch RAM of SEC's for the calls it makes into the PEI core and the PEIMs.
  std::uint32_t scratch(std::size_t bytes);
  std::uint32_t hand_off() const { return static_cast<std::uint32_t>(kSecData); }
  std::uint32_t ppi_list() const { return static_cast<std::uint32_t>(kSecData + kListAt); }
  static bool in_temporary_ram(std::uint64_t address) {
    return address >= kTemporaryRamBase && address < kTemporaryRamBase + kTemporaryRamSize;
  }
  // RAM the firmware has: temporary RAM, SEC's, permanent memory.
  static constexpr std::uint64_t firmware_ram_end() { return sbsim::kPermanentMemoryBase + sbsim::kPermanentMemorySize; }
  static bool in_firmware_ram(std::uint64_t address) {
    return address >= kTemporaryRamBase && address < firmware_ram_end();
  }

 private:
  static constexpr std::uint64_t kListAt = 0x40, kGuidsAt = 0x200, kInterfacesAt = 0x400, kIdtAt = 0x800,
                                 kScratchAt = 0x1000;
  static constexpr std::uint32_t kIdtLimit = 0xFF;
  ImageCpu &cpu_;
  std::uint64_t scratch_used_ = 0;
};

}  // namespace sim
