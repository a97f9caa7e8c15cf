// Southbridge power-management registers: 256 bytes reached both as memory at 0xFED80300 + r
// and through the index/data ports 0xCD6/0xCD7. PM registers 0xD8/0xD9 are the index and data
// of the PM window, two banks of 256 bytes chosen by PM register 0xC8 bit 5.
#pragma once
#include <array>
#include <cstdint>
#include <functional>

#include "sim/machine/machine.h"

namespace sim {

class PmRegisters : public IoDevice, public MmioDevice {
 public:
  static constexpr std::uint64_t kMmioBase = 0xFED80300;
  static constexpr std::uint16_t kIndexPort = 0xCD6;
  static constexpr std::uint16_t kDataPort = 0xCD7;
  static constexpr std::uint8_t kWindowIndex = 0xD8;
  static constexpr std::uint8_t kWindowData = 0xD9;
  static constexpr std::uint8_t kWindowBankReg = 0xC8;
  static constexpr std::uint8_t kWindowBank1 = 0x20;

  void attach(Machine &m);

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;
  std::uint32_t mmio_read(std::uint64_t addr, unsigned width) override;
  void mmio_write(std::uint64_t addr, unsigned width, std::uint32_t value) override;
  std::string mmio_name(std::uint64_t addr) const override;

  // Backend: contents without any bus access.
  std::uint8_t get(std::uint8_t reg) const { return regs_[reg]; }
  std::uint32_t get(std::uint8_t reg, unsigned width) const;
  void set(std::uint8_t reg, std::uint8_t value);
  void set(std::uint8_t reg, unsigned width, std::uint32_t value);
  std::uint8_t window(unsigned bank, std::uint8_t index) const { return window_[bank & 1][index]; }
  void set_window(unsigned bank, std::uint8_t index, std::uint8_t value) { window_[bank & 1][index] = value; }
  std::uint8_t index_port() const { return index_; }

  // Called after a register byte changed, from either path (the ACPI blocks follow their bases).
  void on_change(std::function<void(std::uint8_t reg)> fn) { on_change_ = std::move(fn); }

 private:
  std::uint8_t read_reg(std::uint8_t reg) const;
  void write_reg(std::uint8_t reg, std::uint8_t value);
  unsigned bank() const { return (regs_[kWindowBankReg] & kWindowBank1) ? 1 : 0; }

  std::array<std::uint8_t, 256> regs_{};
  std::array<std::array<std::uint8_t, 256>, 2> window_{};
  std::uint8_t index_ = 0;
  std::function<void(std::uint8_t)> on_change_;
};

}  // namespace sim
