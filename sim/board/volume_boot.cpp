#include "sim/board/volume_boot.h"

#include <fmt/format.h>

#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "sim/engines/image_modules.h"
#include "sim/machine/arena.h"
#include "sim/machine/names.h"
#include "sim/services/guid_names.h"

namespace sim {
namespace {

constexpr std::uint32_t kStallAfterMemoryUs = 100;
constexpr const char *kAfterMemory = "after memory: ";
constexpr const char *kSbPei = "SbPei";

// SbPei's part of a pass, in the form the other paths report it.
void fill_sb_pei_view(const VolumePassResult &v, PeiBootResult &p) {
  p.boot_mode = v.boot_mode;
  p.config = v.config;
  p.reset = v.reset;
  p.status = EFI_ABORTED;  // as on the other paths when the entry did not return
  for (const DispatchedModule &d : v.dispatched)
    if (d.name == kSbPei && d.status) p.status = *d.status;
  for (const InstalledPpiRecord &i : v.ppis) p.ppis.push_back({i.ppi, i.by});
  if (auto it = v.instructions.find(kSbPei); it != v.instructions.end()) p.instructions = it->second;
}

bool same_result(const SmbusResult &a, const SmbusResult &b) {
  return a.status == b.status && a.length == b.length && a.data == b.data;
}

}  // namespace

std::vector<std::string> find_pass_faults(const VolumePass &pass, std::size_t number) {
  std::vector<std::string> findings;
  const VolumePassResult &v = pass.volume;
  const std::string in = fmt::format("PEI pass {}: ", number);
  if (v.simulator_error) {
    // Nothing is known of the firmware past this point: no finding of its own is made.
    findings.push_back(in + "the simulator failed (a fault of the bench, not of the firmware): " + *v.simulator_error);
    return findings;
  }
  if (v.stopped) findings.push_back(in + "the PEI core never reached the DXE IPL: " + *v.stopped);
  if (v.reached_dxe_ipl && !v.permanent_memory)
    findings.push_back(in + "the PEI core reached the DXE IPL, but no module had installed permanent memory");
  if (!v.reset) {
    for (const std::string &n : v.not_dispatched) findings.push_back(in + "never ran: " + n);
  }
  for (const PointerMove &m : v.migration) {
    if (m.left_in_temporary_ram())
      findings.push_back(fmt::format("{}SbPei's {} still points into temporary RAM after the switch to permanent "
                                     "memory: 0x{:08X}",
                                     in, m.what, m.after));
  }
  for (const StaleAccess &s : v.stale) {
    findings.push_back(fmt::format("{}{} {} temporary RAM after it was given up: {} time(s), the first at 0x{:08X}", in,
                                   s.module, s.write ? "wrote" : "read", s.count, s.address));
  }
  if (pass.smbus_by == kSbPei) {
    for (std::size_t i = 0; i < pass.smbus_after_memory.size() && i < pass.pei.smbus.size(); ++i) {
      if (!same_result(pass.smbus_after_memory[i], pass.pei.smbus[i]))
        findings.push_back(fmt::format("{}SMBus transaction {} through SbPei's SMBus PPI gave another result after "
                                       "memory ({} where it gave {})",
                                       in, i + 1, status_name(pass.smbus_after_memory[i].status),
                                       status_name(pass.pei.smbus[i].status)));
    }
  }
  if (pass.stall_by == kSbPei && pass.stall_after_memory &&
      (*pass.stall_after_memory != EFI_SUCCESS || pass.stall_after_memory_took_ns < pass.stall_after_memory_us * 1000))
    findings.push_back(fmt::format("{}Stall({} us) through SbPei's Stall PPI after memory returned {} after {:.1f} us",
                                   in, pass.stall_after_memory_us, status_name(*pass.stall_after_memory),
                                   pass.stall_after_memory_took_ns / 1e3));
  return findings;
}

std::vector<std::string> find_boot_faults(const VolumeBoot &boot, unsigned max_passes) {
  std::vector<std::string> findings;
  if (!boot.passes.empty() && boot.passes.size() >= max_passes && boot.passes.back().volume.reset)
    findings.push_back(fmt::format("the firmware reset on every pass: stopped after {} passes, the most a boot may take "
                                   "(a reset loop); DXE never ran",
                                   boot.passes.size()));
  return findings;
}

VolumeBoot run_volume_boot(const Board &board, BoardHardware &hw, const std::string &path, Engine dxe_engine,
                           const VolumeOptions &options, unsigned max_passes) {
  VolumeBoot boot;
  boot.volume = path;
  Machine &machine = hw.machine;
  Timeline &timeline = machine.timeline();
  const PeiVolume &volume = PeiVolume::load(path);
  VolumeEngine engine(volume, machine, options);
  Arena &arena = Arena::instance();

  for (unsigned n = 1; n <= max_passes; ++n) {
    const std::size_t arena_mark = arena.mark();
    timeline.begin_pei_pass();
    VolumePass pass;
    const std::size_t first_line = hw.com1.lines().size();
    pass.pei.start_ns = machine.now_ns();
    pass.pei.first_access = machine.trace().size();
    const AccessCounts before = machine.counts();

    VolumeBoard vb;
    if (board.platform_hook) vb.platform_hook = board_platform_hook(board);
    vb.foreign_reset_ppi = board.foreign_reset_ppi;
    vb.foreign_stall_ppi = board.foreign_stall_ppi;
    vb.boot_mode_before = board.boot_mode_before;
    vb.after_sb_pei = [&](SbPeiPpis &ppis) {
      for (const SmbusTransactionSpec &t : board.smbus_consumer) pass.pei.smbus.push_back(run_consumer(timeline, ppis, t));
    };
    vb.after_memory = [&](SbPeiPpis &ppis) {
      for (const SmbusTransactionSpec &t : board.smbus_consumer)
        pass.smbus_after_memory.push_back(run_consumer(timeline, ppis, t, kAfterMemory));
      timeline.begin("after memory: GetSleepBootMode");
      pass.sleep_boot_mode_after_memory = ppis.get_sleep_boot_mode();
      timeline.end("after memory: GetSleepBootMode");
      const std::string span = fmt::format("after memory: Stall {} us", kStallAfterMemoryUs);
      timeline.begin(span);
      const std::uint64_t start = machine.now_ns();
      pass.stall_after_memory = ppis.stall(kStallAfterMemoryUs);
      pass.stall_after_memory_us = kStallAfterMemoryUs;
      pass.stall_after_memory_took_ns = machine.now_ns() - start;
      timeline.end(span);
    };
    pass.volume = engine.run_pass(vb);
    timeline.close_all();
    pass.smbus_by = first_installer(pass.volume.ppis, guid_name(gEfiPeiSmbusPpiGuid));
    pass.sleep_boot_mode_by = first_installer(pass.volume.ppis, guid_name(gSbPrivatePpiGuid));
    pass.stall_by = first_installer(pass.volume.ppis, guid_name(gEfiPeiStallPpiGuid));

    fill_sb_pei_view(pass.volume, pass.pei);
    pass.pei.end_ns = machine.now_ns();
    pass.pei.accesses = machine.trace().size() - pass.pei.first_access;
    pass.pei.cost = machine.counts() - before;
    pass.log = hw.com1.lines_from(first_line);
    pass.volume.first_log_line = first_line;
    // A firmware that stopped on an assertion said why on its serial port.
    if (pass.volume.stopped) {
      for (const std::string &line : pass.log)
        if (line.rfind("ASSERT", 0) == 0) *pass.volume.stopped = line + " (then: " + *pass.volume.stopped + ")";
    }
    for (std::string &f : find_pass_faults(pass, n)) boot.findings.push_back(std::move(f));
    boot.passes.push_back(std::move(pass));
    arena.rewind(arena_mark);
    if (!boot.passes.back().volume.reset) break;
    hw.warm_reset();  // RAM, PPIs and HOBs went with the pass; PM registers and CMOS stay
  }

  for (std::string &f : find_boot_faults(boot, max_passes)) boot.findings.push_back(std::move(f));
  const VolumePassResult &last = boot.passes.back().volume;
  if (last.reached_dxe_ipl) {
    machine.set_default_module("CmosErrorPrompt");
    boot.dxe = run_dxe(board, hw, last.boot_mode, dxe_engine,
                       reinterpret_cast<void *>(static_cast<std::uintptr_t>(last.hob_list)));
    machine.set_default_module(nullptr);
  }
  for (const auto &[port, u] : machine.unclaimed_ports())
    boot.unclaimed.push_back(fmt::format("port 0x{:X}: {} read(s), {} write(s)", port, u.reads, u.writes));
  for (const auto &[address, u] : machine.unclaimed_memory())
    boot.unclaimed.push_back(fmt::format("memory 0x{:08X}: {} read(s), {} write(s)", address, u.reads, u.writes));
  return boot;
}

}  // namespace sim
