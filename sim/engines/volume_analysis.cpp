#include "sim/engines/volume_analysis.h"

#include <algorithm>
#include <fmt/format.h>
#include <set>

#include "sim/services/guid_names.h"

namespace sim {

HobListView read_hob_list(std::uint64_t list, const GuestMemory &memory) {
  HobListView view;
  const auto *phit = static_cast<const EFI_HOB_HANDOFF_INFO_TABLE *>(memory(list, sizeof(EFI_HOB_HANDOFF_INFO_TABLE)));
  if (phit == nullptr || phit->Header.HobType != EFI_HOB_TYPE_HANDOFF) return view;
  view.boot_mode = phit->BootMode;
  std::uint64_t at = list;
  for (unsigned n = 0; n < 4096; ++n) {
    const auto *h = static_cast<const EFI_HOB_GENERIC_HEADER *>(memory(at, sizeof(EFI_HOB_GENERIC_HEADER)));
    if (h == nullptr || h->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST || h->HobLength < sizeof *h) break;
    if (h->HobType == EFI_HOB_TYPE_GUID_EXTENSION && h->HobLength >= sizeof(SB_CONFIG_HOB)) {
      const auto *g = static_cast<const SB_CONFIG_HOB *>(memory(at, sizeof(SB_CONFIG_HOB)));
      if (g == nullptr) break;
      if (GuidsEqual(g->Header.Name, gSbConfigHobGuid)) view.config = g->Config;
    }
    at += h->HobLength;
  }
  return view;
}

std::vector<std::string> explain_not_dispatched(const std::vector<VolumeModule> &modules,
                                                const std::vector<DispatchedModule> &dispatched,
                                                const std::vector<InstalledPpiRecord> &ppis, bool cut_short) {
  std::set<std::string> installed;
  for (const InstalledPpiRecord &p : ppis) installed.insert(p.ppi);
  const auto is_installed = [&](const EFI_GUID &g) { return installed.count(guid_name(g)) != 0; };
  std::vector<std::string> out;
  for (const VolumeModule &m : modules) {
    if (m.type == kFfsPeiCore) continue;
    if (std::any_of(dispatched.begin(), dispatched.end(), [&](const DispatchedModule &d) { return d.name == m.name; }))
      continue;
    std::string why;
    if (!m.xip_problem.empty()) {
      why = "it cannot run in place: " + m.xip_problem;
    } else if (!m.depex_problem.empty()) {
      why = "its dependency expression cannot be read: " + m.depex_problem;
    } else if (m.depex && !evaluate_depex(*m.depex, is_installed)) {
      std::string missing;
      for (const DepexOp &op : *m.depex)
        if (op.code == DepexOp::Push && !is_installed(op.guid)) missing += (missing.empty() ? "" : ", ") + guid_name(op.guid);
      why = fmt::format("its dependency expression ({}) was never satisfied{}",
                        describe_depex(*m.depex, [](const EFI_GUID &g) { return guid_name(g); }),
                        missing.empty() ? "" : ": never installed: " + missing);
    } else {
      why = cut_short ? "the pass ended before the PEI core got to it" : "the PEI core passed it over";
    }
    out.push_back(m.name + ": " + why);
  }
  return out;
}

std::string first_installer(const std::vector<InstalledPpiRecord> &ppis, const std::string &ppi) {
  for (const InstalledPpiRecord &p : ppis)
    if (p.ppi == ppi) return p.by;
  return {};
}

}  // namespace sim
