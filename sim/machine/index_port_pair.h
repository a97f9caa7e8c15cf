// A byte-wide index/data port pair in front of 256 registers (as at ports 0xC00/0xC01).
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "sim/machine/machine.h"

namespace sim {

class IndexPortPair : public IoDevice {
 public:
  IndexPortPair(std::uint16_t index_port, std::string name) : index_port_(index_port), name_(std::move(name)) {}
  void attach(Machine &m) { m.map_io(index_port_, 2, this); }

  std::uint32_t io_read(std::uint16_t port, unsigned) override { return port == index_port_ ? index_ : regs_[index_]; }
  void io_write(std::uint16_t port, unsigned, std::uint32_t value) override {
    if (port == index_port_) index_ = static_cast<std::uint8_t>(value);
    else regs_[index_] = static_cast<std::uint8_t>(value);
  }
  std::string io_name(std::uint16_t port) const override {
    return port == index_port_ ? name_ + "_INDEX" : name_ + " " + std::to_string(index_);
  }

  std::uint8_t get(std::uint8_t reg) const { return regs_[reg]; }
  void set(std::uint8_t reg, std::uint8_t value) { regs_[reg] = value; }
  void reset() {
    regs_.fill(0);
    index_ = 0;
  }

 private:
  std::uint16_t index_port_;
  std::string name_;
  std::array<std::uint8_t, 256> regs_{};
  std::uint8_t index_ = 0;
};

}  // namespace sim
