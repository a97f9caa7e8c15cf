#include "sim/board/pei_boot.h"

#include <stdexcept>

#include <fmt/format.h>

#include "pi/ppi/memory_discovered.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "cmos_error_prompt/cmos_error_prompt.h"
#include "sim/machine/arena.h"
#include "sim/services/board_ppis.h"
#include "sim/services/dxe_core.h"
#include "sim/services/guid_names.h"
#include "sim/engines/modules.h"
#include "sim/board/scenario.h"
#include "sim/board/sb_config_fields.h"

namespace sim {
namespace {

// Another module's reset and stall PPIs, installed before SbPei's: they reset and wait as that
// module's would.
EFI_STATUS EFIAPI ForeignReset(const EFI_PEI_SERVICES **) { return board_reset_system(Machine::current()); }
EFI_STATUS EFIAPI ForeignStall(const EFI_PEI_SERVICES **, const EFI_PEI_STALL_PPI *, UINTN Microseconds) {
  board_stall(Machine::current(), Microseconds);
  return EFI_SUCCESS;
}

}  // namespace

SmbusResult run_consumer(Timeline &timeline, SbPeiPpis &module, const SmbusTransactionSpec &t,
                         const std::string &span_prefix) {
  SmbusResult r{t, EFI_NOT_FOUND, t.length, {}};
  std::vector<std::uint8_t> buffer(std::max<std::size_t>({t.length, t.data.size(), 64}), 0);
  std::copy(t.data.begin(), t.data.end(), buffer.begin());
  UINTN length = t.length;
  EFI_SMBUS_DEVICE_ADDRESS address{};
  address.SmbusDeviceAddress = t.address & 0x7F;
  const std::string span = span_prefix + fmt::format("SMBus Execute: controller {}, operation {}, device 0x{:02X}, "
                                                     "command 0x{:02X}",
                                                     t.instance, t.operation, t.address, t.command);
  timeline.begin(span);
  r.status = module.smbus_execute(t.instance, address, t.command, static_cast<EFI_SMBUS_OPERATION>(t.operation), FALSE,
                                  &length, buffer.data(), buffer.size());
  timeline.end(span);
  r.length = length;
  r.data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(length, t.length)));
  return r;
}

namespace {

constexpr std::uint64_t kUserReactionNs = 500'000'000;

}  // namespace

Board default_board() { return parse_board(embedded_default_board(), "(built-in default board)"); }

// ---- BoardHardware ----------------------------------------------------------------------------

BoardHardware::BoardHardware(const Board &board) : board_(board) {
  southbridge.attach(machine);
  com1.attach(machine);
  for (const MemoryBlockSpec &spec : board_.memory_blocks) {
    blocks_.push_back(std::make_unique<MemoryBlock>(spec.base, spec.size, spec.name));
    blocks_.back()->attach(machine);
  }
  load_power_on_state(true);
}

MemoryBlock *BoardHardware::memory_block(const std::string &name) {
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    if (board_.memory_blocks[i].name == name) return blocks_[i].get();
  }
  return nullptr;
}

void BoardHardware::load_power_on_state(bool always_on_too) {
  Southbridge &sb = southbridge;
  if (always_on_too) {
    for (const auto &[reg, value] : board_.pm_registers) sb.pm.set(reg, value);
    for (unsigned bank = 0; bank < 2; ++bank) {
      for (const auto &[index, value] : board_.pm_window[bank]) sb.pm.set_window(bank, index, value);
    }
    if (board_.pm1_control) sb.acpi.set_pm1_control(*board_.pm1_control);
    sb.acpi.set_sleep_type(board_.sleep_type);
    for (const auto &[reg, value] : board_.cmos) sb.rtc.set(reg, value);
  }
  for (const auto &[reg, value] : board_.misc_registers) sb.misc.set(reg, 8, value);
  for (const auto &[reg, value] : board_.io_c00) sb.io_c00.set(reg, value);
  for (const auto &[reg, value] : board_.alink) sb.alink.set_reg(reg, value);
  for (const auto &[reg, value] : board_.alink_class0) sb.alink.set_class0(reg, value);
  for (const auto &[reg, value] : board_.alink_class2) sb.alink.set_class2(reg, value);
  for (const PciRegisterSpec &p : board_.pci) {
    PciFunction *f = machine.pci().find(p.bus, p.device, p.function);
    if (f == nullptr) f = &machine.pci().add(p.bus, p.device, p.function);
    f->set(p.reg, p.width, p.value);
  }
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    for (const auto &[offset, value] : board_.memory_blocks[i].bytes) blocks_[i]->set(offset, 8, value);
  }
  for (const UsbPortSpec &u : board_.usb_ports) {
    EhciPort &port = sb.usb[u.controller % 3]->port(u.port % EhciController::kPorts);
    port.set(u.value);
    port.settle_after(u.settle_ns);
    port.settle_to(u.settles_to);
    if (u.never_settles) port.never_settles();
  }
  sb.reset.ignore_resets(board_.ignore_resets);
  if (always_on_too) {
    for (const SmbusDeviceSpec &d : board_.smbus_devices) {
      (d.controller == 0 ? sb.smbus0 : sb.smbus1).add_device(d.address, std::make_shared<SpdEeprom>(d.contents));
    }
    for (unsigned c = 0; c < 2; ++c) {
      const SmbusFaultSpec &f = board_.smbus_faults[c];
      SmbusController &s = c == 0 ? sb.smbus0 : sb.smbus1;
      s.collide_first(f.collide_first);
      s.host_busy_forever(f.host_busy);
      s.slave_busy_forever(f.slave_busy);
      s.never_completes(f.never_completes);
      s.report_block_count(f.block_count);
      s.hold_semaphore(f.semaphore_held_polls);
    }
  }
}

void BoardHardware::warm_reset() {
  Southbridge &sb = southbridge;
  sb.acpi_mmio.clear();
  sb.misc.clear();
  sb.alink.reset();
  sb.io_c00.reset();
  machine.pci().reset_functions();
  for (auto &b : blocks_) b->clear();
  load_power_on_state(false);
}

// ---- The board's platform hook ----------------------------------------------------------------

void check_hook_settings(const Board &board) {
  for (const auto &[point, settings] : board.hook_settings) {
    for (const auto &setting : settings) {
      if (find_sb_config_field(setting.first) == nullptr)
        throw std::invalid_argument("unknown configuration field " + setting.first);
    }
  }
}

PlatformHookFn board_platform_hook(const Board &board) {
  check_hook_settings(board);
  // The platform's MMIO table lives in RAM like any other platform data.
  UINT32 platform_table = 0;
  if (!board.platform_mmio_table.empty()) {
    auto *t = static_cast<UINT8 *>(Arena::instance().allocate(board.platform_mmio_table.size() + 4));
    std::copy(board.platform_mmio_table.begin(), board.platform_mmio_table.end(), t);
    std::fill_n(t + board.platform_mmio_table.size(), 4, UINT8{0xFF});
    platform_table = static_cast<UINT32>(reinterpret_cast<UINTN>(t));
  }
  return [&board, platform_table](UINT32 point, SB_CONFIG &config) {
    if (point == SbHookAfterDefaults && platform_table != 0) config.PlatformMmioTable = platform_table;
    auto it = board.hook_settings.find(point);
    if (it == board.hook_settings.end()) return;
    for (const auto &[name, value] : it->second) {
      if (const ConfigField *f = find_sb_config_field(name)) write_field(config, *f, value);
    }
  };
}

// ---- Passes -----------------------------------------------------------------------------------

PeiBootResult run_pei(const Board &board, BoardHardware &hw, Engine engine) {
  // Names are checked before the pass: nothing may be thrown through the module's frames.
  check_hook_settings(board);
  Machine &machine = hw.machine;
  machine.timeline().begin_pei_pass();
  PeiCore core(machine, board.boot_mode_before);
  Arena &arena = Arena::instance();
  const PlatformHookFn settings = board_platform_hook(board);
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
    hook.emplace(core, settings);
  }
  const std::size_t board_ppis = core.ppis().size();

  PeiBootResult r;
  r.start_ns = machine.now_ns();
  const AccessCounts before = machine.counts();
  r.first_access = machine.trace().size();
  std::unique_ptr<SbPeiModule> module = SbPeiModule::load(engine, core);
  r.status = module->run_entry();
  r.boot_mode = core.boot_mode();
  for (std::size_t i = 0; i < core.ppis().size(); ++i) {
    r.ppis.push_back({guid_name(*core.ppis()[i]->Guid), i < board_ppis ? kBoardModule : "SbPei"});
  }
  if (EFI_HOB_GUID_TYPE *h = core.find_guid_hob(gSbConfigHobGuid)) {
    r.config = reinterpret_cast<SB_CONFIG_HOB *>(h)->Config;
  }
  if (hook) r.hook_calls = hook->calls();
  r.reset = core.reset();
  if (!r.reset) {
    for (const SmbusTransactionSpec &t : board.smbus_consumer) {
      r.smbus.push_back(run_consumer(machine.timeline(), *module, t));
    }
    // Memory is found: the core moves the HOB list out of temporary RAM, gives that up and
    // tells the modules that asked, so that a pointer one keeps into it is seen.
    core.move_hob_list();
    core.install_ppi(gEfiPeiMemoryDiscoveredPpiGuid, nullptr);
  }
  r.end_ns = machine.now_ns();
  r.accesses = machine.trace().size() - r.first_access;
  r.cost = machine.counts() - before;
  r.instructions = module->instructions();
  r.unexpected_calls = core.unexpected_calls();
  machine.timeline().close_all();
  return r;
}

DxeResult run_dxe(const Board &board, BoardHardware &hw, EFI_BOOT_MODE boot_mode, Engine engine, void *hob_list) {
  DxeResult r;
  const std::size_t codes_before = hw.southbridge.post.codes().size();
  const std::size_t tones_before = hw.southbridge.speaker.tones().size();
  {
    Timeline &timeline = hw.machine.timeline();
    timeline.begin_phase("DXE");
    r.start_ns = hw.machine.now_ns();
    const AccessCounts before = hw.machine.counts();
    DxeCore dxe(hw.machine, boot_mode);
    if (hob_list != nullptr) dxe.use_hob_list(hob_list);
    if (board.setup_variable_size) {
      dxe.set_variable(u"Setup", gSetupVariableGuid, std::vector<std::uint8_t>(*board.setup_variable_size, 0));
    }
    if (!board.post_message_protocol) dxe.remove_post_message_protocol();
    if (board.enter_setup_flag) dxe.publish_enter_setup_flag();
    for (const std::string &name : board.keys) {
      std::optional<Key> k = key_named(name);
      if (!k) throw std::invalid_argument("unknown key " + name);
      k->react_ns = kUserReactionNs;  // one key at a time, each half a second after the last
      dxe.type(*k);
    }
    std::unique_ptr<CmosPromptModule> module = CmosPromptModule::load(engine, dxe);
    timeline.begin("CmosErrorPrompt entry");
    r.entry_status = module->start();
    timeline.end("CmosErrorPrompt entry");
    if (!EFI_ERROR(r.entry_status)) {
      static int trigger_interface = 0;
      timeline.begin("prompt");
      try {
        dxe.install_protocol(gPromptTriggerProtocolGuid, &trigger_interface);
      } catch (const Hang &h) {
        r.stopped = h.what();
      }
      timeline.end("prompt");
    }
    r.screen = dxe.screen();
    r.enter_setup = dxe.enter_setup_flag();
    r.keys_left = dxe.keys_left();
    r.pool_leaks = dxe.live_pool_buffers();
    r.pool_errors = dxe.pool_errors();
    r.end_ns = hw.machine.now_ns();
    r.cost = hw.machine.counts() - before;
    r.instructions = module->instructions();
  }
  const auto tones = hw.southbridge.speaker.tones();
  r.beeps.assign(tones.begin() + static_cast<std::ptrdiff_t>(tones_before), tones.end());
  for (const Tone &t : r.beeps) {
    hw.machine.timeline().add_span(fmt::format("beep {:.1f} Hz", t.hz), t.start_ns, t.end_ns);
  }
  hw.machine.timeline().close_all();
  const auto &codes = hw.southbridge.post.codes();
  r.post_codes.assign(codes.begin() + static_cast<std::ptrdiff_t>(codes_before), codes.end());
  r.cmos_46 = hw.southbridge.rtc.get(0x46);
  return r;
}

std::vector<PeiBootResult> run_pei_passes(const Board &board, BoardHardware &hw, unsigned max_passes, Engine engine) {
  std::vector<PeiBootResult> passes;
  for (unsigned i = 0; i < max_passes; ++i) {
    passes.push_back(run_pei(board, hw, engine));
    if (!passes.back().reset) break;
    hw.warm_reset();  // RAM, PPIs and HOBs went with the pass; PM registers and CMOS stay
  }
  return passes;
}

}  // namespace sim
