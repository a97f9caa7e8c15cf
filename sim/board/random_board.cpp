#include "sim/board/random_board.h"

#include <fmt/format.h>

#include <random>

namespace sim {

Board random_board(const Board &base, const Pick &pick) {
  Board board = base;
  board.keys.clear();
  board.sleep_type = static_cast<unsigned>(pick(0, 7));
  board.boot_mode_before = pick(0, 1) != 0 ? BOOT_WITH_FULL_CONFIGURATION : BOOT_ON_S3_RESUME;
  board.platform_hook = pick(0, 7) != 0;
  board.hook_settings[SbHookAfterDefaults] = {
      {"SmbusBase0", 0x0B00}, {"SmbusBase1", 0x0B20}, {"SbFlags", static_cast<std::uint32_t>(pick(0, 0xFF))}};
  for (auto n = pick(0, 3); n > 0; --n)
    board.pm_registers[static_cast<std::uint8_t>(pick(0, 0xFF))] = static_cast<std::uint8_t>(pick(0, 0xFF));
  for (auto n = pick(0, 3); n > 0; --n) {
    UsbPortSpec port;
    port.controller = static_cast<unsigned>(pick(0, 2));
    port.port = static_cast<unsigned>(pick(0, 4));
    port.value = static_cast<std::uint32_t>(pick(0, 0xFFFFFFFF));
    board.usb_ports.push_back(port);
  }
  for (auto n = pick(0, 3); n > 0; --n) {
    SmbusTransactionSpec t;
    t.instance = static_cast<unsigned>(pick(0, 1));
    t.address = static_cast<std::uint8_t>(pick(0, 0x7F));
    t.command = static_cast<std::uint32_t>(pick(0, 0xFF));
    t.operation = static_cast<unsigned>(pick(0, 11));
    t.length = static_cast<std::uint32_t>(pick(0, 40));
    for (auto bytes = pick(0, 32); bytes > 0; --bytes) t.data.push_back(static_cast<std::uint8_t>(pick(0, 0xFF)));
    board.smbus_consumer.push_back(t);
  }
  return board;
}

Board random_board(const Board &base, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  Board board = random_board(base, [&random](std::uint64_t lo, std::uint64_t hi) {
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(random);
  });
  board.name = fmt::format("{}, random {}", base.name, seed);
  return board;
}

}  // namespace sim
