#include "sim/devices/plain_devices.h"

#include <fmt/format.h>

namespace sim {
namespace {

std::uint32_t load(const std::vector<std::uint8_t> &bytes, std::uint64_t at, unsigned width) {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < width / 8; ++i) v |= std::uint32_t{at + i < bytes.size() ? bytes[at + i] : 0xFFu} << (8 * i);
  return v;
}

void store(std::vector<std::uint8_t> &bytes, std::uint64_t at, unsigned width, std::uint32_t v) {
  for (unsigned i = 0; i < width / 8 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

MemoryBlock::MemoryBlock(std::uint64_t base, std::uint64_t size, std::string name)
    : base_(base), size_(size), chunks_((size + kChunk - 1) / kChunk), name_(std::move(name)) {}

std::uint8_t MemoryBlock::byte(std::uint64_t offset) const {
  if (offset >= size_) return 0xFF;
  const Chunk *chunk = chunks_[offset / kChunk].get();
  return chunk != nullptr ? (*chunk)[offset % kChunk] : 0;
}

void MemoryBlock::set_byte(std::uint64_t offset, std::uint8_t value) {
  if (offset >= size_) return;
  std::unique_ptr<Chunk> &chunk = chunks_[offset / kChunk];
  if (chunk == nullptr) chunk = std::make_unique<Chunk>();  // value-initialised: zeros
  (*chunk)[offset % kChunk] = value;
}

std::uint32_t MemoryBlock::mmio_read(std::uint64_t addr, unsigned width) { return get(addr - base_, width); }
void MemoryBlock::mmio_write(std::uint64_t addr, unsigned width, std::uint32_t value) { set(addr - base_, width, value); }
std::string MemoryBlock::mmio_name(std::uint64_t addr) const { return fmt::format("{}+0x{:X}", name_, addr - base_); }
void MemoryBlock::set(std::uint64_t offset, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width / 8; ++i) set_byte(offset + i, static_cast<std::uint8_t>(value >> (8 * i)));
}
std::uint32_t MemoryBlock::get(std::uint64_t offset, unsigned width) const {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < width / 8; ++i) v |= std::uint32_t{byte(offset + i)} << (8 * i);
  return v;
}

PortRegisters::PortRegisters(std::uint16_t first, unsigned count, std::string name)
    : first_(first), bytes_(count), name_(std::move(name)) {}

std::uint32_t PortRegisters::io_read(std::uint16_t port, unsigned width) { return load(bytes_, port - first_, width); }
void PortRegisters::io_write(std::uint16_t port, unsigned width, std::uint32_t value) {
  store(bytes_, port - first_, width, value);
}
std::string PortRegisters::io_name(std::uint16_t port) const { return fmt::format("{}+{}", name_, port - first_); }
void PortRegisters::set(std::uint16_t port, unsigned width, std::uint32_t value) {
  store(bytes_, port - first_, width, value);
}
std::uint32_t PortRegisters::get(std::uint16_t port, unsigned width) const { return load(bytes_, port - first_, width); }

}  // namespace sim
