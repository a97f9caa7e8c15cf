#include "sim/devices/usb_ehci.h"

#include <fmt/format.h>

namespace sim {

std::uint32_t EhciPort::read(std::uint64_t now_ns) {
  if (resuming_ && !never_ && now_ns >= settles_at_) {
    value_ = settled_value_;
    resuming_ = false;
  }
  return value_;
}

void EhciPort::write(std::uint64_t now_ns, std::uint32_t value, std::uint32_t mask) {
  ++writes_;
  const std::uint32_t before = read(now_ns);
  value_ = (before & ~mask) | (value & mask);
  // Software ended the resume signalling: the port finishes its resume a little later.
  if ((before & kForcePortResume) && !(value_ & kForcePortResume) && (mask & kForcePortResume)) {
    resuming_ = true;
    settles_at_ = now_ns + settle_ns_;
  }
}

EhciController::EhciController(Machine &m, unsigned device, unsigned function)
    : PciFunction(0, device, function), machine_(m) {}

void EhciController::config_write(unsigned reg, unsigned width, std::uint32_t value) {
  PciFunction::config_write(reg, width, value);
  if (reg <= 0x13 && reg + width / 8 > 0x10) remap();
}

void EhciController::reset() {
  PciFunction::reset();
  for (EhciPort &p : ports_) p = EhciPort{};
  remap();
}

void EhciController::remap() {
  const std::uint32_t bar = get(0x10, 32) & ~0xFFu;
  if (bar == mapped_) return;
  if (mapped_ != 0) machine_.unmap_mmio(this);
  mapped_ = bar;
  if (bar != 0 && bar != 0xFFFFFF00u) machine_.map_mmio(bar, kRegisterSpace, this);
}

std::uint32_t EhciController::mmio_read(std::uint64_t addr, unsigned width) {
  const std::uint32_t all = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
  if (!memory_enabled()) return all;
  const std::uint64_t off = addr - mapped_;
  if (off < kFirstPort || off >= kFirstPort + 4 * kPorts) return 0;
  const unsigned shift = 8 * ((off - kFirstPort) % 4);
  EhciPort &port = ports_[(off - kFirstPort) / 4];
  const bool waiting = port.resuming();
  const std::uint32_t value = port.read(machine_.now_ns());
  if (waiting && !port.resuming()) machine_.timeline().end("wait " + mmio_name(addr));
  return (value >> shift) & all;
}

void EhciController::mmio_write(std::uint64_t addr, unsigned width, std::uint32_t value) {
  if (!memory_enabled()) return;
  const std::uint64_t off = addr - mapped_;
  if (off < kFirstPort || off >= kFirstPort + 4 * kPorts) return;
  const unsigned shift = 8 * ((off - kFirstPort) % 4);
  const std::uint32_t mask = (width == 32 ? 0xFFFFFFFFu : (1u << width) - 1) << shift;
  EhciPort &port = ports_[(off - kFirstPort) / 4];
  const bool waiting = port.resuming();
  port.write(machine_.now_ns(), value << shift, mask);
  if (!waiting && port.resuming()) machine_.timeline().begin("wait " + mmio_name(addr));
}

std::string EhciController::mmio_name(std::uint64_t addr) const {
  const std::uint64_t off = addr - mapped_;
  if (off >= kFirstPort && off < kFirstPort + 4 * kPorts)
    return fmt::format("USB {} PORTSC{}", name(), (off - kFirstPort) / 4);
  return fmt::format("USB {} +0x{:X}", name(), off);
}

}  // namespace sim
