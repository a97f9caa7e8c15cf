// What the simulated hardware can do to a running module besides answering it.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace sim {

// Thrown out of the access that made the reset take hold: the pass ends there, as on a board.
struct ResetSignal {
  std::uint8_t value;  // what was written to the reset control register
  std::uint64_t t_ns;
};

// Thrown when a run spins past the watchdog bound that its test set.
class Hang : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace sim
