#include "sim/devices/uart_16550.h"

namespace sim {
namespace {

constexpr unsigned kData = 0, kInterruptEnable = 1, kLineControl = 3, kLineStatus = 5;
constexpr std::uint8_t kDivisorLatchAccess = 0x80;              // LCR bit 7
constexpr std::uint8_t kTransmitterEmpty = 0x20 | 0x40;         // LSR: holding register and shifter empty
constexpr const char *kNames[] = {"THR", "IER", "IIR", "LCR", "MCR", "LSR", "MSR", "SCR"};

}  // namespace

bool Uart16550::divisor_latch() const { return (regs_[kLineControl] & kDivisorLatchAccess) != 0; }

std::uint32_t Uart16550::io_read(std::uint16_t port, unsigned) {
  const unsigned reg = port - base_;
  if (reg <= kInterruptEnable && divisor_latch()) return divisor_[reg];
  if (reg == kData) return 0;  // nothing received
  if (reg == kLineStatus) return kTransmitterEmpty;
  return regs_[reg];
}

void Uart16550::io_write(std::uint16_t port, unsigned, std::uint32_t value) {
  const unsigned reg = port - base_;
  const auto byte = static_cast<std::uint8_t>(value);
  if (reg <= kInterruptEnable && divisor_latch()) {
    divisor_[reg] = byte;
  } else if (reg == kData) {
    if (byte == '\n') {
      lines_.push_back(open_);
      open_.clear();
    } else if (byte != '\r') {
      open_ += static_cast<char>(byte);
    }
  } else if (reg != kLineStatus) {
    regs_[reg] = byte;
  }
}

std::string Uart16550::io_name(std::uint16_t port) const {
  const unsigned reg = port - base_;
  if (reg <= kInterruptEnable && divisor_latch()) return reg == 0 ? "COM1 DLL" : "COM1 DLM";
  return std::string("COM1 ") + kNames[reg];
}

std::vector<std::string> Uart16550::lines_from(std::size_t first) const {
  std::vector<std::string> out(lines_.begin() + static_cast<std::ptrdiff_t>(std::min(first, lines_.size())), lines_.end());
  if (!open_.empty()) out.push_back(open_);
  return out;
}

void Uart16550::clear() {
  regs_.fill(0);
  divisor_[0] = divisor_[1] = 0;
  lines_.clear();
  open_.clear();
}

}  // namespace sim
