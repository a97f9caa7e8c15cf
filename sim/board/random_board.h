// Boards made from choices rather than files, for fuzzing and for batches of random boards: the
// sleep type kept in PM1 control, the boot mode earlier modules set, whether the platform hook is
// there and the flags it sets, a few PM registers, the USB ports' state, and up to three SMBus
// transactions of a later module. Everything else is the base board's.
#pragma once
#include <cstdint>
#include <functional>

#include "sim/board/pei_boot.h"

namespace sim {

// `pick(lo, hi)` gives a number in [lo, hi]: a fuzzer's input or a seeded generator.
using Pick = std::function<std::uint64_t(std::uint64_t lo, std::uint64_t hi)>;
Board random_board(const Board &base, const Pick &pick);
// The board a seed makes (a 64-bit Mersenne twister drawing each choice uniformly): the same seed
// gives the same board.
Board random_board(const Board &base, std::uint64_t seed);

}  // namespace sim
