#include "sim/board/boot_cost.h"

#include <fmt/format.h>

namespace sim {

std::vector<PhaseCost> boot_costs(const std::vector<PeiBootResult> &passes, const std::optional<DxeResult> &dxe) {
  std::vector<PhaseCost> rows;
  PhaseCost total{"total", {}, 0, 0};
  auto add = [&](PhaseCost row) {
    total.counts = total.counts + row.counts;
    total.estimate_ns += row.estimate_ns;
    total.instructions += row.instructions;
    rows.push_back(std::move(row));
  };
  for (std::size_t i = 0; i < passes.size(); ++i) {
    const PeiBootResult &p = passes[i];
    add({fmt::format("PEI pass {}", i + 1), p.cost, p.end_ns - p.start_ns, p.instructions});
  }
  if (dxe) add({"DXE", dxe->cost, dxe->end_ns - dxe->start_ns, dxe->instructions});
  rows.push_back(total);
  return rows;
}

std::string format_costs(const std::string &board, const std::vector<PhaseCost> &rows, bool header) {
  std::string out;
  if (header) {
    out += fmt::format("{:<18} {:<10} {:>6} {:>6} {:>6} {:>12} {:>14} {:>12}\n", "board", "phase", "I/O", "memory",
                       "PCI", "stall (us)", "estimate (us)", "instructions");
  }
  for (const PhaseCost &r : rows) {
    out += fmt::format("{:<18} {:<10} {:>6} {:>6} {:>6} {:>12.1f} {:>14.1f} {:>12}\n", board, r.phase, r.counts.io,
                       r.counts.mem, r.counts.pci_config, r.counts.stall_ns() / 1e3, r.estimate_ns / 1e3,
                       r.instructions != 0 ? fmt::format("{}", r.instructions) : std::string("-"));
  }
  return out;
}

}  // namespace sim
