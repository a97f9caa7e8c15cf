// The image engine booting a PEI firmware volume: EDK2's PEI core from the volume, SEC's part
// played by the simulator (sim/services/sec_core.h), every module run in place from flash
// against the board's devices. From SEC's hand-off on, only the PEI core decides what runs.
//
// The engine watches without taking part: which image's code runs (so every access names the
// module it was made for; an access through the CPU I/O PPI names the module that called the
// PPI), the PEI core's dispatch of each PEIM (a span of the timeline each), SbPei's service
// calls (its entry's steps, as on the other paths), the PPIs installed, the switch to permanent
// memory and any use of temporary RAM after it was given up.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sb_pei/sb_pei.h"
#include "sim/engines/modules.h"
#include "sim/engines/volume_analysis.h"
#include "sim/image/image_cpu.h"
#include "sim/image/pei_volume.h"
#include "sim/machine/faults.h"
#include "sim/machine/machine.h"

namespace sim {

// What the board plays while the volume boots.
struct VolumeBoard {
  // The board's platform hook PPI in SEC's list, where the volume carries no hook PEIM: what the
  // platform writes at each hook point. Null: no hook at all.
  std::function<void(UINT32 point, SB_CONFIG &config)> platform_hook;
  bool foreign_reset_ppi = false, foreign_stall_ppi = false;  // in SEC's list, before SbPei's
  EFI_BOOT_MODE boot_mode_before = BOOT_WITH_FULL_CONFIGURATION;  // set as an earlier module would
  // A later PEIM's calls through SbPei's PPIs: once SbPei's init-done PPI is there, and again
  // after the switch to permanent memory.
  std::function<void(SbPeiPpis &)> after_sb_pei, after_memory;
};

// SbPei's file GUID (edk2/SbPkg/SbPei/SbPei.inf): the module the engine follows step by step.
inline constexpr EFI_GUID kSbPeiFileGuid = {0xdf73b2ff, 0x7580, 0x482b, {0xac, 0xe2, 0xa2, 0x60, 0x23, 0xf2, 0x06, 0x81}};

// Where something of SbPei's lay before and after the switch to permanent memory.
struct PointerMove {
  std::string what;
  std::uint32_t before = 0, after = 0;
  bool left_in_temporary_ram() const;
};

// Temporary RAM used after the PEI core gave it up (cache-as-RAM torn down).
struct StaleAccess {
  std::string module;
  std::uint64_t address = 0;
  bool write = false;
  std::uint64_t count = 0;
};

struct VolumePassResult {
  std::optional<ResetSignal> reset;
  std::optional<std::string> stopped;  // why the firmware ended the pass before the DXE IPL, if it did
  // The simulator itself failed during the pass (an exception of its own, with its message):
  // nothing is known of the firmware from there on.
  std::optional<std::string> simulator_error;
  bool reached_dxe_ipl = false;
  std::uint32_t hob_list = 0;  // what the PEI core handed the DXE IPL
  EFI_BOOT_MODE boot_mode = BOOT_WITH_FULL_CONFIGURATION;
  std::optional<SB_CONFIG> config;
  std::string pei_core_load;    // how SEC started the PEI core
  // SEC's list (SEC's own PPIs, then the board's), then every install the PEI core was asked for.
  std::vector<InstalledPpiRecord> ppis;
  std::vector<DispatchedModule> dispatched;
  std::vector<std::string> not_dispatched;  // each with the reason
  std::string hook_source;                  // who served SbPei's platform hook
  std::vector<UINT32> hook_points;          // the board's hook calls
  std::optional<std::pair<std::uint64_t, std::uint64_t>> permanent_memory;  // base, length
  std::vector<PointerMove> migration;
  std::vector<StaleAccess> stale;
  std::map<std::string, std::uint64_t> instructions;  // by module, when counted
  std::size_t first_log_line = 0;                     // of the UART's lines, where this pass began
};

struct VolumeOptions {
  bool count_instructions = false;
  // SbPei's reads and writes of RAM checked against what it owns (see memory_check.h).
  bool check_memory = true;
  // Translated blocks a pass may run before it counts as hanging (a pass of the simulator's
  // volume runs about 50,000; SMBus controllers that never answer take a few million).
  std::uint64_t max_blocks = 50'000'000;
};

class VolumeEngine {
 public:
  VolumeEngine(const PeiVolume &volume, Machine &machine, const VolumeOptions &options);
  ~VolumeEngine();
  VolumeEngine(const VolumeEngine &) = delete;
  VolumeEngine &operator=(const VolumeEngine &) = delete;

  // One boot of the volume, from SEC to the DXE IPL (or to a reset, a fault, a hang).
  VolumePassResult run_pass(const VolumeBoard &board);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
