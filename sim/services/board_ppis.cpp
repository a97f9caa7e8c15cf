#include "sim/services/board_ppis.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::uint16_t kResetControlPort = 0xCF9;
constexpr std::uint8_t kFullReset = 0x06;  // bit 1 system reset, bit 2 reset the CPU

}  // namespace

void board_stall(Machine &machine, std::uint64_t microseconds) {
  constexpr std::uint64_t kLongest = ~std::uint64_t{0} / 1000;  // longer waits are waited this long
  machine.wait(std::min(microseconds, kLongest) * 1000);
}

EFI_STATUS board_reset_system(Machine &machine) {
  machine.io_write(kResetControlPort, 8, kFullReset, "ResetSystem", kBoardModule);
  return EFI_DEVICE_ERROR;
}

}  // namespace sim
