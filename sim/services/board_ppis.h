// PPIs that another module of the board installed before SbPei (a platform's own reset and
// stall PPIs): SbPei then installs none of its own, and whoever locates the PPI gets these.
// They behave as such a module's would, so that what a caller sees through them is what a board
// does, never a stub's shortcut.
#pragma once
#include <cstdint>

#include "pi/base.h"
#include "sim/machine/machine.h"

namespace sim {

// Who the trace and the PPI records name for the board's own modules.
inline constexpr const char *kBoardModule = "board";

// Stall: waits the asked time on the virtual clock.
void board_stall(Machine &machine, std::uint64_t microseconds);

// ResetSystem: writes a full reset (0x06) to the reset control register at 0xCF9, as a
// platform's reset PPI does; the reset takes hold there (sim::ResetSignal). On a board that
// ignores resets it returns EFI_DEVICE_ERROR instead of never returning.
EFI_STATUS board_reset_system(Machine &machine);

}  // namespace sim
