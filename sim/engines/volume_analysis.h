// What a pass through a PEI volume left, read without the emulator: the boot mode and SbPei's
// configuration block from a HOB list, and why a module of the volume never ran. Pure
// functions over memory and records, so that each reason can be tested on a case made for it.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pi/hob.h"
#include "sb_pei/sb_pei.h"
#include "sim/image/pei_volume.h"

namespace sim {

struct DispatchedModule {
  std::string name;
  std::uint64_t start_ns = 0, end_ns = 0;
  std::optional<EFI_STATUS> status;  // what its entry returned, if it did
};

struct InstalledPpiRecord {
  std::string ppi, by;
  std::uint32_t descriptor = 0, interface = 0;
};

// Guest memory as a reader sees it: `bytes` at `address`, or nullptr where there is none.
using GuestMemory = std::function<const void *(std::uint64_t address, std::size_t bytes)>;

struct HobListView {
  std::optional<EFI_BOOT_MODE> boot_mode;  // from the hand-off table; none: no list there
  std::optional<SB_CONFIG> config;         // SbPei's block, if the list holds one
};

// Walks the HOB list at `list` (the hand-off table first) to its end, to a HOB too short to
// step over, or to the end of readable memory; what was read by then stands.
HobListView read_hob_list(std::uint64_t list, const GuestMemory &memory);

// Each module of the volume (not the PEI core) that no dispatch record names, with the reason:
// it cannot run in place, its dependency expression cannot be read, it was never satisfied
// (with the PPIs it waits for that nobody installed), or the pass ended first / the PEI core
// passed it over.
std::vector<std::string> explain_not_dispatched(const std::vector<VolumeModule> &modules,
                                                const std::vector<DispatchedModule> &dispatched,
                                                const std::vector<InstalledPpiRecord> &ppis, bool cut_short);

// Who installed the instance of `ppi` (a GUID's name) that LocatePpi finds first: the earliest
// install. Empty when none did.
std::string first_installer(const std::vector<InstalledPpiRecord> &ppis, const std::string &ppi);

}  // namespace sim
