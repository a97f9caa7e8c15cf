// A simulated boot's results as one JSON document (sbsim --json).
#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "sim/board/pei_boot.h"
#include "sim/board/volume_boot.h"

namespace sim {

// A memory finding as the JSON summary and the trace give it: kind, module, access ("read" or
// "write"), address, size, region, pc, at (the instruction named), trace_index, count.
nlohmann::ordered_json memory_finding_json(const MemoryFinding &f);
nlohmann::ordered_json memory_findings_json(const std::vector<MemoryFinding> &findings);
nlohmann::ordered_json summary_json(const Board &board, const std::vector<PeiBootResult> &passes,
                                    const std::optional<DxeResult> &dxe, const Machine &machine);
// The same for a boot from a PEI volume, with the volume's part of each pass.
nlohmann::ordered_json volume_summary_json(const Board &board, const VolumeBoot &boot, const Machine &machine);

}  // namespace sim
