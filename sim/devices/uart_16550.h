// A 16550 UART (COM1 at 0x3F8 on a PC): what firmware writes to it, as lines of text. The
// transmitter is always ready and the receiver never has a byte; the divisor and the other
// registers read back what was written.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

class Uart16550 : public IoDevice {
 public:
  static constexpr std::uint16_t kCom1 = 0x3F8;

  explicit Uart16550(std::uint16_t base = kCom1) : base_(base) {}
  void attach(Machine &m) { m.map_io(base_, 8, this); }

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  // Every complete line written so far (without its line end), then what is still open.
  const std::vector<std::string> &lines() const { return lines_; }
  const std::string &open_line() const { return open_; }
  // Lines from the one numbered `first` on (for the part of a boot after it).
  std::vector<std::string> lines_from(std::size_t first) const;
  void clear();

 private:
  bool divisor_latch() const;
  std::uint16_t base_;
  std::array<std::uint8_t, 8> regs_{};
  std::uint8_t divisor_[2] = {};
  std::vector<std::string> lines_;
  std::string open_;
};

}  // namespace sim
