// Plain register storage: memory-mapped blocks and I/O ports that read back what was written.
// Used where a register has no behaviour of its own, and as a base for device models.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

// Storage comes in 256-byte chunks made on the first write to each: a block reads as zeros until
// written, and a board (or a fuzz input) that touches a few registers of a 64 KiB area pays for
// those few, not for clearing the whole area.
class MemoryBlock : public MmioDevice {
 public:
  MemoryBlock(std::uint64_t base, std::uint64_t size, std::string name = "MEM");
  std::uint32_t mmio_read(std::uint64_t addr, unsigned width) override;
  void mmio_write(std::uint64_t addr, unsigned width, std::uint32_t value) override;
  std::string mmio_name(std::uint64_t addr) const override;

  void attach(Machine &m) { m.map_mmio(base_, size_, this); }
  // Backend: contents by offset, little-endian, without any bus access. Bytes past the end read
  // as 0xFF and take no writes.
  void set(std::uint64_t offset, unsigned width, std::uint32_t value);
  std::uint32_t get(std::uint64_t offset, unsigned width) const;
  std::uint64_t base() const { return base_; }
  std::uint64_t size() const { return size_; }
  void clear() {
    for (auto &chunk : chunks_) chunk.reset();
  }

 private:
  static constexpr std::uint64_t kChunk = 256;
  using Chunk = std::array<std::uint8_t, kChunk>;
  std::uint8_t byte(std::uint64_t offset) const;
  void set_byte(std::uint64_t offset, std::uint8_t value);

  std::uint64_t base_;
  std::uint64_t size_;
  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::string name_;
};

class PortRegisters : public IoDevice {
 public:
  PortRegisters(std::uint16_t first, unsigned count, std::string name = "IO");
  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  void attach(Machine &m) { m.map_io(first_, static_cast<unsigned>(bytes_.size()), this); }
  void set(std::uint16_t port, unsigned width, std::uint32_t value);
  std::uint32_t get(std::uint16_t port, unsigned width) const;

 private:
  std::uint16_t first_;
  std::vector<std::uint8_t> bytes_;
  std::string name_;
};

}  // namespace sim
