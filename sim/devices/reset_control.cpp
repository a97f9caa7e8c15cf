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
  // The reset on the timeline: a span as long as the write that starts it (the pass ends with
  // it), or, when the board ignores resets, an instant. Added beside the write, so that the write
  // itself stays in the step that made it.
  if (machine_ != nullptr) {
    const std::string name = fmt::format("reset: 0xCF9 <- 0x{:02X}", value_);
    const std::uint64_t now = machine_->now_ns();
    if (ignore_) machine_->timeline().instant(name + " (ignored)");
    else machine_->timeline().add_span(name, now, now + machine_->costs().io_ns);
  }
  if (!ignore_) throw ResetSignal{value_, machine_ != nullptr ? machine_->now_ns() : 0};
}

}  // namespace sim
