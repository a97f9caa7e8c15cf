#include "sim/devices/acpi_pm.h"

#include <algorithm>

namespace sim {

void AcpiPm::attach(Machine &m, PmRegisters &pm) {
  machine_ = &m;
  pm_ = &pm;
  remap();
}

void AcpiPm::remap() {
  if (pm1_port_ != 0) machine_->unmap_io(pm1_port_, 2, this);
  if (timer_port_ != 0) machine_->unmap_io(timer_port_, 4, this);
  pm1_port_ = static_cast<std::uint16_t>(pm_->get(kPm1CntReg, 16));
  timer_port_ = static_cast<std::uint16_t>(pm_->get(kPmTmrReg, 16));
  // A base of 0 decodes nothing.
  if (pm1_port_ != 0) machine_->map_io(pm1_port_, 2, this);
  if (timer_port_ != 0) machine_->map_io(timer_port_, 4, this);
}

std::uint64_t AcpiPm::ticks() const {
  if (machine_ == nullptr) return 0;
  const std::uint64_t ns = std::min(machine_->now_ns(), stop_at_ns_);
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(ns) * kTimerHz) / 1000000000u);
}

std::uint32_t AcpiPm::timer() const {
  return frozen_ ? frozen_value_ : static_cast<std::uint32_t>(ticks() + timer_offset_);
}

void AcpiPm::set_timer(std::uint32_t value) {
  timer_offset_ = static_cast<std::uint32_t>(value - ticks());
  frozen_value_ = value;
}

std::uint32_t AcpiPm::io_read(std::uint16_t port, unsigned width) {
  const std::uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
  if (timer_port_ != 0 && port >= timer_port_ && port < timer_port_ + 4) {
    machine_->count_timer_read();
    return (timer() >> (8 * (port - timer_port_))) & mask;
  }
  if (pm1_port_ != 0 && port >= pm1_port_ && port < pm1_port_ + 2)
    return (pm1_control_ >> (8 * (port - pm1_port_))) & mask;
  return mask;
}

void AcpiPm::io_write(std::uint16_t port, unsigned width, std::uint32_t value) {
  if (pm1_port_ == 0 || port < pm1_port_ || port >= pm1_port_ + 2) return;  // the timer is read-only
  const unsigned shift = 8 * (port - pm1_port_);
  const std::uint32_t mask = ((width == 32 ? 0xFFFFFFFFu : (1u << width) - 1) << shift) & 0xFFFF;
  pm1_control_ = static_cast<std::uint16_t>((pm1_control_ & ~mask) | ((value << shift) & mask));
}

std::string AcpiPm::io_name(std::uint16_t port) const {
  if (timer_port_ != 0 && port >= timer_port_ && port < timer_port_ + 4) return "PM_TMR";
  return "PM1_CNT";
}

}  // namespace sim
