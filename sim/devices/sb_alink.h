// A-Link: 32-bit registers behind the index/data ports 0xCD8/0xCDC. Two indirect pairs inside
// the space reach address spaces of their own: index 0x30 / data 0x34 (class 0 addresses) and
// index 0x40000038 / data 0x4000003C (class 2 addresses).
#pragma once
#include <cstdint>
#include <map>

#include "sim/machine/machine.h"

namespace sim {

class Alink : public IoDevice {
 public:
  static constexpr std::uint16_t kIndexPort = 0xCD8;
  static constexpr std::uint16_t kDataPort = 0xCDC;
  static constexpr std::uint32_t kClass0Index = 0x30, kClass0Data = 0x34;
  static constexpr std::uint32_t kClass2Index = 0x40000038, kClass2Data = 0x4000003C;

  void attach(Machine &m) { m.map_io(kIndexPort, 8, this); }

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  // Backend. `reg` reads a register as the data port would (indirect data registers included).
  std::uint32_t reg(std::uint32_t address) const;
  void set_reg(std::uint32_t address, std::uint32_t value) { direct_[address] = value; }
  std::uint32_t class0(std::uint32_t offset) const { return lookup(class0_, offset); }
  void set_class0(std::uint32_t offset, std::uint32_t value) { class0_[offset] = value; }
  std::uint32_t class2(std::uint32_t offset) const { return lookup(class2_, offset); }
  void set_class2(std::uint32_t offset, std::uint32_t value) { class2_[offset] = value; }
  std::uint32_t index() const { return index_; }
  void reset() {
    direct_.clear();
    class0_.clear();
    class2_.clear();
    index_ = 0;
  }

 private:
  static std::uint32_t lookup(const std::map<std::uint32_t, std::uint32_t> &m, std::uint32_t k) {
    auto it = m.find(k);
    return it == m.end() ? 0 : it->second;
  }
  void write_reg(std::uint32_t address, std::uint32_t value);

  std::map<std::uint32_t, std::uint32_t> direct_, class0_, class2_;
  std::uint32_t index_ = 0;
};

}  // namespace sim
