#include "sim/devices/sb_pm.h"

#include <fmt/format.h>

namespace sim {

void PmRegisters::attach(Machine &m) {
  m.map_io(kIndexPort, 2, this);
  m.map_mmio(kMmioBase, 0x100, this);
}

std::uint8_t PmRegisters::read_reg(std::uint8_t reg) const {
  if (reg == kWindowData) return window_[bank()][regs_[kWindowIndex]];
  return regs_[reg];
}

void PmRegisters::write_reg(std::uint8_t reg, std::uint8_t value) {
  if (reg == kWindowData) {
    window_[bank()][regs_[kWindowIndex]] = value;
    return;
  }
  regs_[reg] = value;
  if (on_change_) on_change_(reg);
}

// The pair decodes bytes: a wider access moves its low byte only.
std::uint32_t PmRegisters::io_read(std::uint16_t port, unsigned) {
  return port == kIndexPort ? index_ : read_reg(index_);
}

void PmRegisters::io_write(std::uint16_t port, unsigned, std::uint32_t value) {
  if (port == kIndexPort) {
    index_ = static_cast<std::uint8_t>(value);
  } else {
    write_reg(index_, static_cast<std::uint8_t>(value));
  }
}

std::string PmRegisters::io_name(std::uint16_t port) const {
  if (port == kIndexPort) return "PM_INDEX";
  return mmio_name(kMmioBase + index_);
}

std::uint32_t PmRegisters::mmio_read(std::uint64_t addr, unsigned width) {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < width / 8; ++i) v |= std::uint32_t{read_reg(static_cast<std::uint8_t>(addr - kMmioBase + i))} << (8 * i);
  return v;
}

void PmRegisters::mmio_write(std::uint64_t addr, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width / 8; ++i)
    write_reg(static_cast<std::uint8_t>(addr - kMmioBase + i), static_cast<std::uint8_t>(value >> (8 * i)));
}

std::string PmRegisters::mmio_name(std::uint64_t addr) const {
  const auto reg = static_cast<std::uint8_t>(addr - kMmioBase);
  if (reg == kWindowData) return fmt::format("PM 0xD9 (window bank {} index 0x{:02X})", bank(), regs_[kWindowIndex]);
  return fmt::format("PM 0x{:02X}", reg);
}

std::uint32_t PmRegisters::get(std::uint8_t reg, unsigned width) const {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < width / 8; ++i) v |= std::uint32_t{regs_[static_cast<std::uint8_t>(reg + i)]} << (8 * i);
  return v;
}

void PmRegisters::set(std::uint8_t reg, std::uint8_t value) {
  regs_[reg] = value;
  if (on_change_) on_change_(reg);
}

void PmRegisters::set(std::uint8_t reg, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width / 8; ++i) set(static_cast<std::uint8_t>(reg + i), static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace sim
