// An EHCI host controller as the S3 USB reset sees it: a PCI function (command register 0x04,
// BAR0 at 0x10, register 0xC4) whose BAR0 maps the operational registers, of which the five
// port status and control registers at +0x64..+0x74 are modelled. The registers decode only
// while memory space is enabled (command bit 1).
#pragma once
#include <array>
#include <cstdint>

#include "sim/machine/machine.h"

namespace sim {

class EhciPort {
 public:
  static constexpr std::uint32_t kForcePortResume = 0x40;
  static constexpr std::uint32_t kSuspend = 0x80;

  std::uint32_t read(std::uint64_t now_ns);
  void write(std::uint64_t now_ns, std::uint32_t value, std::uint32_t mask);

  // Backend: the port's contents, and what it does once Force Port Resume is cleared.
  void set(std::uint32_t value) { value_ = value; }
  std::uint32_t value() const { return value_; }
  void settle_after(std::uint64_t ns) { settle_ns_ = ns; }
  bool resuming() const { return resuming_; }
  void settle_to(std::uint32_t value) { settled_value_ = value; }
  void never_settles() { never_ = true; }
  unsigned writes() const { return writes_; }

 private:
  std::uint32_t value_ = 0;
  std::uint64_t settle_ns_ = 50'000;  // 50 us
  std::uint32_t settled_value_ = 0x1005;
  bool never_ = false;
  bool resuming_ = false;
  std::uint64_t settles_at_ = 0;
  unsigned writes_ = 0;
};

class EhciController : public PciFunction, public MmioDevice {
 public:
  static constexpr unsigned kPorts = 5;
  static constexpr std::uint32_t kFirstPort = 0x64;
  static constexpr std::uint64_t kRegisterSpace = 0x100;

  EhciController(Machine &m, unsigned device, unsigned function);

  void config_write(unsigned reg, unsigned width, std::uint32_t value) override;
  void reset() override;
  void contents_changed() override { remap(); }

  std::uint32_t mmio_read(std::uint64_t addr, unsigned width) override;
  void mmio_write(std::uint64_t addr, unsigned width, std::uint32_t value) override;
  std::string mmio_name(std::uint64_t addr) const override;

  EhciPort &port(unsigned k) { return ports_.at(k); }

 private:
  bool memory_enabled() const { return (get(0x04, 8) & 0x02) != 0; }
  void remap();

  Machine &machine_;
  std::array<EhciPort, kPorts> ports_{};
  std::uint32_t mapped_ = 0;
};

}  // namespace sim
