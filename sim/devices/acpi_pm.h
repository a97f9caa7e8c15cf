// ACPI PM1 control register and PM timer, decoded at the I/O ports that the southbridge holds
// in PM registers 0x62/0x63 (PM1 control) and 0x64/0x65 (timer). They follow those registers.
#pragma once
#include <cstdint>

#include "sim/machine/machine.h"
#include "sim/devices/sb_pm.h"

namespace sim {

class AcpiPm : public IoDevice {
 public:
  static constexpr std::uint8_t kPm1CntReg = 0x62;
  static constexpr std::uint8_t kPmTmrReg = 0x64;
  static constexpr std::uint64_t kTimerHz = 3579545;
  static constexpr std::uint16_t kSlpTypShift = 10;
  static constexpr std::uint16_t kSlpTypMask = 0x1C00;

  // Decodes at the ports `pm` names now; `follow_pm` after a PM register changed.
  void attach(Machine &m, PmRegisters &pm);
  void follow_pm(std::uint8_t reg) {
    if (reg >= kPm1CntReg && reg <= kPmTmrReg + 1) remap();
  }

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  // Backend.
  std::uint16_t pm1_control() const { return pm1_control_; }
  void set_pm1_control(std::uint16_t v) { pm1_control_ = v; }
  void set_sleep_type(unsigned slp_typ) {
    pm1_control_ = static_cast<std::uint16_t>((pm1_control_ & ~kSlpTypMask) | ((slp_typ & 7) << kSlpTypShift));
  }
  // The reading the timer gives now; set it (for example just below the wrap).
  std::uint32_t timer() const;
  void set_timer(std::uint32_t value);
  // A timer that never counts (a dead timer block).
  void freeze_timer(bool frozen) { frozen_ = frozen; }
  // A timer that stops counting at a virtual time and reads that value from then on.
  void stop_timer_at(std::uint64_t ns) { stop_at_ns_ = ns; }
  std::uint16_t pm1_port() const { return pm1_port_; }
  std::uint16_t timer_port() const { return timer_port_; }

 private:
  std::uint64_t ticks() const;
  void remap();

  Machine *machine_ = nullptr;
  PmRegisters *pm_ = nullptr;
  std::uint16_t pm1_port_ = 0, timer_port_ = 0;
  std::uint16_t pm1_control_ = 0;
  std::uint32_t timer_offset_ = 0;
  bool frozen_ = false;
  std::uint64_t stop_at_ns_ = ~std::uint64_t{0};
  std::uint32_t frozen_value_ = 0;
};

}  // namespace sim
