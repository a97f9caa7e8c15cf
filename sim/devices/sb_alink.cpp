#include "sim/devices/sb_alink.h"

#include <fmt/format.h>

namespace sim {

std::uint32_t Alink::reg(std::uint32_t address) const {
  if (address == kClass0Data) return class0(lookup(direct_, kClass0Index));
  if (address == kClass2Data) return class2(lookup(direct_, kClass2Index));
  return lookup(direct_, address);
}

void Alink::write_reg(std::uint32_t address, std::uint32_t value) {
  if (address == kClass0Data) {
    class0_[lookup(direct_, kClass0Index)] = value;
  } else if (address == kClass2Data) {
    class2_[lookup(direct_, kClass2Index)] = value;
  } else {
    direct_[address] = value;
  }
}

// The index and data registers are dword registers; narrower accesses are not decoded.
std::uint32_t Alink::io_read(std::uint16_t port, unsigned width) {
  if (width != 32) return 0xFFFFFFFFu >> (32 - width);
  if (port == kIndexPort) return index_;
  if (port == kDataPort) return reg(index_);
  return 0xFFFFFFFF;
}

void Alink::io_write(std::uint16_t port, unsigned width, std::uint32_t value) {
  if (width != 32) return;
  if (port == kIndexPort) index_ = value;
  else if (port == kDataPort) write_reg(index_, value);
}

std::string Alink::io_name(std::uint16_t port) const {
  if (port == kIndexPort) return "ALINK_INDEX";
  if (port != kDataPort) return {};
  if (index_ == kClass0Data) return fmt::format("ALINK 0x34 -> class0 0x{:08X}", lookup(direct_, kClass0Index));
  if (index_ == kClass2Data)
    return fmt::format("ALINK 0x4000003C -> class2 0x{:08X}", lookup(direct_, kClass2Index));
  return fmt::format("ALINK 0x{:08X}", index_);
}

}  // namespace sim
