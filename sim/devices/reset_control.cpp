#include "sim/devices/reset_control.h"

#include <fmt/format.h>

#include "sim/machine/faults.h"

namespace sim {

std::uint32_t ResetControl::io_read(std::uint16_t port, unsigned width) {
  if (port == kPort && width == 8) return value_ & ~kResetCpu;  // the reset bit reads back clear
  return 0xFFFFFFFFu >> (32 - width);
}

void ResetControl::io_write(std::uint16_t port, unsigned width, std::uint32_t value) {
  if (port != kPort || width != 8) return;
  value_ = static_cast<std::uint8_t>(value);
  if ((value_ & kResetCpu) == 0) return;
  resets_.push_back(value_);
  if (machine_ != nullptr) machine_->timeline().instant(fmt::format("reset: 0xCF9 <- 0x{:02X}", value_));
  if (!ignore_) throw ResetSignal{value_, machine_ != nullptr ? machine_->now_ns() : 0};
}

}  // namespace sim
