// RTC/CMOS: index port 0x70 (bit 7 disables NMI, bits 0-6 the register) and data port 0x71,
// 128 bytes of battery-backed RAM (registers 0x0A-0x0D are the RTC status registers).
#pragma once
#include <array>
#include <cstdint>

#include "sim/machine/machine.h"

namespace sim {

class RtcCmos : public IoDevice {
 public:
  static constexpr std::uint16_t kIndexPort = 0x70;
  static constexpr std::uint16_t kDataPort = 0x71;
  static constexpr std::uint8_t kNmiDisable = 0x80;

  void attach(Machine &m) { m.map_io(kIndexPort, 2, this); }

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  // Backend.
  std::uint8_t get(std::uint8_t reg) const { return ram_[reg & 0x7F]; }
  void set(std::uint8_t reg, std::uint8_t value) { ram_[reg & 0x7F] = value; }
  std::uint8_t index() const { return index_; }
  bool nmi_disabled() const { return nmi_disabled_; }
  const std::array<std::uint8_t, 128> &ram() const { return ram_; }

 private:
  std::array<std::uint8_t, 128> ram_{};
  std::uint8_t index_ = 0;
  bool nmi_disabled_ = false;
};

}  // namespace sim
