// Port 0x80: POST codes written by the firmware; reads give the last code (and serve as a
// delay of one bus cycle).
#pragma once
#include <cstdint>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

class PostCodePort : public IoDevice {
 public:
  static constexpr std::uint16_t kPort = 0x80;
  void attach(Machine &m) { m.map_io(kPort, 1, this); }
  std::uint32_t io_read(std::uint16_t, unsigned) override { return last_; }
  void io_write(std::uint16_t, unsigned, std::uint32_t value) override {
    last_ = static_cast<std::uint8_t>(value);
    codes_.push_back(last_);
  }
  std::string io_name(std::uint16_t) const override { return "POST"; }
  const std::vector<std::uint8_t> &codes() const { return codes_; }

 private:
  std::uint8_t last_ = 0;
  std::vector<std::uint8_t> codes_;
};

}  // namespace sim
