#include "sim/pei_boot.h"

#include <stdexcept>

#include "pi/ppi/reset.h"
#include "pi/ppi/stall.h"
#include "sim/arena.h"
#include "sim/guid_names.h"
#include "sim/sb_config_fields.h"

namespace sim {
namespace {

// Services of "another module" that came first: they do nothing but say they were called.
EFI_STATUS EFIAPI ForeignReset(const EFI_PEI_SERVICES **) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI ForeignStall(const EFI_PEI_SERVICES **, const EFI_PEI_STALL_PPI *, UINTN) { return EFI_SUCCESS; }

void apply_settings(const PeiBoard &board, UINT32 point, SB_CONFIG &config) {
  auto it = board.hook_settings.find(point);
  if (it == board.hook_settings.end()) return;
  for (const auto &[name, value] : it->second) {
    if (const ConfigField *f = find_sb_config_field(name)) write_field(config, *f, value);
  }
}

}  // namespace

PeiBoard default_pei_board() {
  PeiBoard b;
  b.hook_settings[SbHookAfterDefaults] = {
      {"SmbusBase0", 0x0B00},
      {"SmbusBase1", 0x0B20},
      {"Dev14F3MmioBase", 0xFEB00000},
      {"SbFlags", kSbFlagProgramDev14F3Mmio | kSbFlagAlinkSteps},
  };
  // The ACPI bases that the previous boot programmed survive in the always-on well.
  b.pm_registers = {{0x60, 0x00}, {0x61, 0x08}, {0x62, 0x04}, {0x63, 0x08}, {0x64, 0x08}, {0x65, 0x08}};
  return b;
}

void set_initial_state(const PeiBoard &board, BoardHardware &hw) {
  for (const auto &[reg, value] : board.pm_registers) hw.southbridge.pm.set(reg, value);
  hw.southbridge.acpi.set_sleep_type(board.sleep_type);
}

PeiBootResult run_pei(const PeiBoard &board, BoardHardware &hw) {
  Machine &machine = hw.machine;
  // Names are checked before the boot: nothing may be thrown through the module's frames.
  for (const auto &[point, settings] : board.hook_settings) {
    for (const auto &setting : settings) {
      if (find_sb_config_field(setting.first) == nullptr)
        throw std::invalid_argument("unknown configuration field " + setting.first);
    }
  }
  PeiCore core(machine, board.boot_mode_before);
  Arena &arena = Arena::instance();
  std::size_t board_ppis = 0;
  if (board.foreign_reset_ppi) {
    auto *ppi = static_cast<EFI_PEI_RESET_PPI *>(arena.allocate(sizeof(EFI_PEI_RESET_PPI)));
    ppi->ResetSystem = ForeignReset;
    core.install_ppi(gEfiPeiResetPpiGuid, ppi);
  }
  if (board.foreign_stall_ppi) {
    auto *ppi = static_cast<EFI_PEI_STALL_PPI *>(arena.allocate(sizeof(EFI_PEI_STALL_PPI)));
    *ppi = {1, ForeignStall};
    core.install_ppi(gEfiPeiStallPpiGuid, ppi);
  }
  std::optional<PlatformHook> hook;
  if (board.platform_hook) {
    hook.emplace(core, [&board](UINT32 point, SB_CONFIG &config) { apply_settings(board, point, config); });
  }
  board_ppis = core.ppis().size();

  PeiBootResult r;
  r.status = core.run(SbPeiEntry);
  r.boot_mode = core.boot_mode();
  for (std::size_t i = 0; i < core.ppis().size(); ++i) {
    r.ppis.push_back({guid_name(*core.ppis()[i]->Guid), i < board_ppis ? "board" : "SbPei"});
  }
  if (EFI_HOB_GUID_TYPE *h = core.find_guid_hob(gSbConfigHobGuid)) {
    r.config = reinterpret_cast<SB_CONFIG_HOB *>(h)->Config;
  }
  if (hook) r.hook_calls = hook->calls();
  r.unexpected_calls = core.unexpected_calls();
  r.reset = core.reset();
  return r;
}

}  // namespace sim
