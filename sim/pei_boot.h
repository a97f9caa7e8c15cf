// One PEI pass of SbPei on a simulated board: the PEI core stand-in, the platform hook and
// the other modules' PPIs that the board says are present, then SbPeiEntry.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sb_pei/sb_pei.h"
#include "sim/machine.h"
#include "sim/platform_hook.h"
#include "sim/southbridge.h"

namespace sim {

struct PeiBoard {
  EFI_BOOT_MODE boot_mode_before = BOOT_WITH_FULL_CONFIGURATION;  // set by earlier modules
  bool platform_hook = true;
  // Configuration fields the platform writes at each hook point, by field name.
  std::map<UINT32, std::vector<std::pair<std::string, std::uint32_t>>> hook_settings;
  bool foreign_reset_ppi = false;  // another module installed EFI_PEI_RESET_PPI before us
  bool foreign_stall_ppi = false;  // likewise EFI_PEI_STALL_PPI

  // Hardware state at power-on.
  unsigned sleep_type = 0;                             // SLP_TYP kept in PM1 control
  std::map<std::uint8_t, std::uint8_t> pm_registers;  // PM registers that differ from 0
};

// A board's hardware: the machine and the southbridge on it.
struct BoardHardware {
  BoardHardware() { southbridge.attach(machine); }
  Machine machine;
  Southbridge southbridge;
};

// Loads the board's power-on hardware state.
void set_initial_state(const PeiBoard &board, BoardHardware &hw);

// The board that sbsim runs when it is given none.
PeiBoard default_pei_board();

struct InstalledPpi {
  std::string name;
  std::string by;  // "SbPei" or "board"
};

struct PeiBootResult {
  EFI_STATUS status = EFI_SUCCESS;
  EFI_BOOT_MODE boot_mode = BOOT_WITH_FULL_CONFIGURATION;
  std::vector<InstalledPpi> ppis;
  std::optional<SB_CONFIG> config;  // copy of the configuration HOB's data, if made
  std::vector<PlatformHook::Call> hook_calls;
  std::vector<std::string> unexpected_calls;
  std::optional<ResetSignal> reset;  // the reset that ended the pass, if one did
};

PeiBootResult run_pei(const PeiBoard &board, BoardHardware &hw);

}  // namespace sim
