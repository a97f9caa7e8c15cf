// The simulated board's memory as the simulator's PEI volume sees it: where SEC (the simulator)
// puts the temporary RAM it hands the PEI core, and the permanent memory the memory PEIM
// installs. Both lie in the simulator's RAM below 2 GiB; the simulator includes this header
// too, so that the two sides cannot disagree.
#pragma once

namespace sbsim {

// Temporary RAM (what cache-as-RAM is on a board): the PEI core's heap, then its stack.
inline constexpr unsigned long kTemporaryRamBase = 0x44000000;
inline constexpr unsigned long kTemporaryRamSize = 0x40000;
inline constexpr unsigned long kTemporaryStackSize = 0x10000;  // at the top of temporary RAM

// Permanent memory, installed by SbSimMemoryPei once SbPei has published its services.
inline constexpr unsigned long kPermanentMemoryBase = 0x44100000;
inline constexpr unsigned long kPermanentMemorySize = 0x03F00000;

}  // namespace sbsim
