// What a boot path costs: accesses by kind, time spent delaying, and the time a real board
// would take at the simulator's cost model (1 us a port access, 150 ns an MMIO access).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/board/pei_boot.h"

namespace sim {

struct PhaseCost {
  std::string phase;  // "PEI pass 1", ..., "DXE", "total"
  AccessCounts counts;
  std::uint64_t estimate_ns = 0;   // virtual time of the phase
  std::uint64_t instructions = 0;  // image engine with counting on
};

std::vector<PhaseCost> boot_costs(const std::vector<PeiBootResult> &passes, const std::optional<DxeResult> &dxe);

// The rows as a text table under a header line; with `header`, the column names first.
std::string format_costs(const std::string &board, const std::vector<PhaseCost> &rows, bool header = true);

}  // namespace sim
