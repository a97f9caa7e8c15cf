// The reset control register at port 0xCF9 (byte accesses beside the PCI configuration
// address). Writing it with bit 2 set resets the machine: the access ends the pass at once by
// throwing sim::ResetSignal, unless a test asked the model to ignore resets.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

class ResetControl : public IoDevice {
 public:
  static constexpr std::uint16_t kPort = 0xCF9;
  static constexpr std::uint8_t kResetCpu = 0x04;

  void attach(Machine &m) {
    machine_ = &m;
    m.pci().attach_legacy(this);
  }

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override { return port == kPort ? "RST_CNT" : std::string{}; }

  void ignore_resets(bool ignore) { ignore_ = ignore; }
  // Values written that asked for a reset, in order (also the ignored ones).
  const std::vector<std::uint8_t> &resets() const { return resets_; }

 private:
  Machine *machine_ = nullptr;
  std::uint8_t value_ = 0;
  bool ignore_ = false;
  std::vector<std::uint8_t> resets_;
};

}  // namespace sim
