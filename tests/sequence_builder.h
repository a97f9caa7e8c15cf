// Builds expected access sequences out of the register operations they consist of, so that a
// test reads like the programming steps it checks. Values are literal: what the registers hold
// before each step is given by the test.
#pragma once
#include <initializer_list>
#include <vector>

#include "sb_pei/register/access.h"
#include "trace_expect.h"

namespace test {

class Seq {
 public:
  // PM register through ports 0xCD6/0xCD7, one byte.
  Seq &pm_port_rmw(std::uint8_t reg, std::uint8_t old, std::uint8_t now) {
    return add({Out(0xCD6, 8, reg), In(0xCD7, 8, old), Out(0xCD6, 8, reg), Out(0xCD7, 8, now)});
  }
  Seq &rd(std::uint32_t addr, unsigned width, std::uint32_t v) { return add({Rd(addr, width, v)}); }
  Seq &rmw(std::uint32_t addr, unsigned width, std::uint32_t old, std::uint32_t now) {
    return add({Rd(addr, width, old), Wr(addr, width, now)});
  }
  Seq &pm_rmw(std::uint8_t reg, unsigned width, std::uint32_t old, std::uint32_t now) {
    return rmw(0xFED80300 + reg, width, old, now);
  }
  Seq &misc_rmw(std::uint8_t reg, unsigned width, std::uint32_t old, std::uint32_t now) {
    return rmw(0xFED80E00 + reg, width, old, now);
  }
  Seq &alink_write(std::uint32_t index, std::uint32_t v) {
    return add({Out(0xCD8, 32, index), Out(0xCDC, 32, v), Out(0xCD8, 32, 0)});
  }
  Seq &alink_read(std::uint32_t index, std::uint32_t v) {
    return add({Out(0xCD8, 32, index), In(0xCDC, 32, v), Out(0xCD8, 32, 0)});
  }
  // ReadPmWindow: bank 1 selected around the read, PM 0xC8 bit 5 cleared after it.
  Seq &window(std::uint8_t index, std::uint8_t c8, std::uint8_t value) {
    const std::uint8_t set = c8 | 0x20;
    return add({Rd(0xFED803C8, 8, c8), Wr(0xFED803C8, 8, set), Wr(0xFED803D8, 8, index), Rd(0xFED803D9, 8, value),
                Rd(0xFED803C8, 8, set), Wr(0xFED803C8, 8, set & ~0x20)});
  }
  Seq &pci_rmw(std::uint32_t word, unsigned width, std::uint32_t old, std::uint32_t now) {
    const std::uint32_t cfg = sbpei::PciConfigAddress(word);
    const std::uint16_t port = sbpei::PciDataPort(word);
    return add({Out(0xCF8, 32, cfg), In(port, width, old), Out(0xCF8, 32, cfg), Out(port, width, now)});
  }
  Seq &pci_write(std::uint32_t word, unsigned width, std::uint32_t v) {
    return add({Out(0xCF8, 32, sbpei::PciConfigAddress(word)), Out(sbpei::PciDataPort(word), width, v)});
  }
  Seq &out(std::uint16_t port, unsigned width, std::uint32_t v) { return add({Out(port, width, v)}); }
  Seq &in(std::uint16_t port, unsigned width, std::uint32_t v) { return add({In(port, width, v)}); }
  Seq &stall(std::uint32_t us) { return add({Stall(us)}); }
  Seq &then(const Seq &other) { return add(other.v_); }

  const std::vector<Expected> &get() const { return v_; }
  operator const std::vector<Expected> &() const { return v_; }

 private:
  Seq &add(const std::vector<Expected> &more) {
    v_.insert(v_.end(), more.begin(), more.end());
    return *this;
  }
  std::vector<Expected> v_;
};

}  // namespace test
