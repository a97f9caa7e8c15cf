#include "sim/devices/rtc_cmos.h"

#include <fmt/format.h>

namespace sim {

// The index port is write-only: reads float high.
std::uint32_t RtcCmos::io_read(std::uint16_t port, unsigned width) {
  if (port == kDataPort) return ram_[index_];
  return 0xFFFFFFFFu >> (32 - width);
}

void RtcCmos::io_write(std::uint16_t port, unsigned, std::uint32_t value) {
  if (port == kIndexPort) {
    index_ = value & 0x7F;
    nmi_disabled_ = (value & kNmiDisable) != 0;
  } else {
    ram_[index_] = static_cast<std::uint8_t>(value);
  }
}

std::string RtcCmos::io_name(std::uint16_t port) const {
  if (port == kIndexPort) return "CMOS_INDEX";
  return fmt::format("CMOS 0x{:02X}", index_);
}

}  // namespace sim
