// sbsim: a simulated boot of SbPei on a board, with a readable summary and the trace.
#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "sim/board/boot_cost.h"
#include "sim/machine/machine.h"
#include "sim/machine/names.h"
#include "sim/board/pei_boot.h"
#include "sim/board/random_board.h"
#include "sim/board/scenario.h"
#include "sim/board/summary.h"
#include "sim/board/sb_config_fields.h"
#include "sim/board/timeline_json.h"
#include "sim/board/trace_diff.h"
#include "sim/board/volume_boot.h"
#include "sim/report/report.h"
#include "sim/machine/data_paths.h"
#include "git_revision.h"
#include "sim/services/guid_names.h"

namespace {

void print_config(const sim::PeiBootResult &r) {
  if (r.config) {
    fmt::print("Southbridge configuration HOB ({} bytes of data):\n", sizeof(SB_CONFIG));
    for (const sim::ConfigField &f : sim::sb_config_fields()) {
      fmt::print("  0x{:02X} {:<18} 0x{:0{}X}\n", f.offset, f.name, sim::read_field(*r.config, f), f.bytes * 2);
    }
  } else {
    fmt::print("No southbridge configuration HOB was made.\n");
  }
}

void print_smbus(const std::string &heading, const std::vector<sim::SmbusResult> &results) {
  if (!results.empty()) fmt::print("{}\n", heading);
  for (const sim::SmbusResult &t : results) {
    fmt::print("  instance {} address 0x{:02X} command 0x{:02X} {:<14} -> {} length {}", t.request.instance,
               t.request.address, t.request.command, sim::smbus_operation_name(t.request.operation),
               sim::status_name(t.status), t.length);
    if (t.status == EFI_SUCCESS && !t.data.empty()) {
      fmt::print(" data");
      for (std::uint8_t b : t.data) fmt::print(" {:02X}", b);
    }
    fmt::print("\n");
  }
}

void print_pass(std::size_t n, const sim::PeiBootResult &r) {
  fmt::print("== PEI pass {} ({:.3f} ms to {:.3f} ms, {} hardware accesses)\n", n, r.start_ns / 1e6, r.end_ns / 1e6,
             r.accesses);
  if (r.reset) {
    fmt::print("Reset: 0x{:02X} written to port 0xCF9 at {:.3f} ms; the pass ended there\n", r.reset->value,
               r.reset->t_ns / 1e6);
  } else {
    fmt::print("SbPei entry returned {}\n", sim::status_name(r.status));
  }
  fmt::print("Boot mode: 0x{:02X} {}\n", r.boot_mode, sim::boot_mode_name(r.boot_mode));
  fmt::print("PPIs installed, in order:\n");
  for (std::size_t i = 0; i < r.ppis.size(); ++i) {
    fmt::print("  {:2}. {:<24} ({})\n", i + 1, r.ppis[i].name, r.ppis[i].by);
  }
  print_config(r);
  print_smbus("SMBus transactions of another module, after SbPei:", r.smbus);
  for (const std::string &u : r.unexpected_calls) fmt::print("Unexpected service call: {}\n", u);
}

std::string printable(const std::string &line) {
  std::string out;
  for (char c : line) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

void print_dxe(const sim::DxeResult &d) {
  fmt::print("== DXE: CmosErrorPrompt\n");
  fmt::print("Driver entry returned {}\n", sim::status_name(d.entry_status));
  fmt::print("Screen ({} line(s)):\n", d.screen.size());
  for (const std::string &line : d.screen) fmt::print("  | {}\n", printable(line));
  fmt::print("Beeps: {}\n", d.beeps.size());
  for (std::size_t i = 0; i < d.beeps.size(); ++i) {
    const sim::Tone &t = d.beeps[i];
    fmt::print("  {}. {:.1f} Hz for {:.1f} ms from {:.1f} ms", i + 1, t.hz, (t.end_ns - t.start_ns) / 1e6,
               t.start_ns / 1e6);
    if (i + 1 < d.beeps.size()) fmt::print(", then {:.1f} ms of silence", (d.beeps[i + 1].start_ns - t.end_ns) / 1e6);
    fmt::print("\n");
  }
  if (!d.post_codes.empty()) {
    fmt::print("POST codes:");
    for (std::uint8_t c : d.post_codes) fmt::print(" 0x{:02X}", c);
    fmt::print("\n");
  }
  fmt::print("CMOS 0x46 after: 0x{:02X} (status flag {})\n", d.cmos_46, d.cmos_46 & 1 ? "still set" : "clear");
  if (d.stopped) fmt::print("Stopped: {}\n", *d.stopped);
  if (d.stopped) {
    fmt::print("User's choice: none yet (the prompt is still waiting)\n");
  } else if (!d.enter_setup) {
    fmt::print("User's choice: no enter-setup flag was published\n");
  } else if (*d.enter_setup == 1) {
    fmt::print("User's choice: enter setup (enter-setup request flag 1)\n");
  } else if (*d.enter_setup == 0) {
    fmt::print("User's choice: none asked (no problem reported; enter-setup request flag 0)\n");
  } else {
    fmt::print("User's choice: boot on (enter-setup request flag left at 0x{:02X})\n", *d.enter_setup);
  }
  if (d.keys_left != 0) fmt::print("Keys not read: {}\n", d.keys_left);
  for (const std::string &e : d.pool_errors) fmt::print("Pool error: {}\n", e);
  if (d.pool_leaks != 0) fmt::print("Pool buffers never freed: {}\n", d.pool_leaks);
}

const char *file_type_name(std::uint8_t type) {
  return type == sim::kFfsPeiCore ? "PEI core" : "PEIM";
}

void print_volume(const sim::PeiVolume &v, const std::string &path) {
  fmt::print("PEI volume: {} ({} bytes, built to lie at 0x{:08X})\n", path, v.fv().length(), v.base());
  for (const sim::VolumeModule &m : v.modules()) {
    fmt::print("  {:<16} {:<8} {:<4} 0x{:08X}-0x{:08X}", m.name, file_type_name(m.type), m.te ? "TE" : "PE32", m.first,
               m.end - 1);
    if (m.depex)
      fmt::print("  depex: {}", sim::describe_depex(*m.depex, [](const EFI_GUID &g) { return sim::guid_name(g); }));
    if (!m.xip_problem.empty()) fmt::print("  (cannot run in place: {})", m.xip_problem);
    if (!m.depex_problem.empty()) fmt::print("  (dependency expression unreadable: {})", m.depex_problem);
    fmt::print("\n");
  }
}

// Whose PPI a call reached, as a summary names it.
std::string owner(const std::string &by) { return by.empty() ? std::string("nobody") : by; }

void print_volume_pass(std::size_t n, const sim::VolumePass &p) {
  const sim::VolumePassResult &v = p.volume;
  fmt::print("== PEI pass {} from the volume ({:.3f} ms to {:.3f} ms, {} hardware accesses)\n", n, p.pei.start_ns / 1e6,
             p.pei.end_ns / 1e6, p.pei.accesses);
  fmt::print("PEI core: {}\n", v.pei_core_load);
  if (!p.log.empty()) fmt::print("Serial port (COM1):\n");
  for (const std::string &line : p.log) fmt::print("  | {}\n", line);
  fmt::print("Dispatched by the PEI core, in order:\n");
  for (const sim::DispatchedModule &d : v.dispatched) {
    fmt::print("  {:<16} {:8.3f} ms", d.name, d.start_ns / 1e6);
    if (d.status) fmt::print(" to {:8.3f} ms, returned {}", d.end_ns / 1e6, sim::status_name(*d.status));
    else fmt::print(", did not return");
    fmt::print("\n");
  }
  for (const std::string &m : v.not_dispatched) fmt::print("Not dispatched: {}\n", m);
  fmt::print("Platform hook: {}", v.hook_source);
  if (!v.hook_points.empty()) {
    fmt::print(", called at");
    for (UINT32 point : v.hook_points) fmt::print(" 0x{:X}", point);
  }
  fmt::print("\n");
  if (v.reset) {
    fmt::print("Reset: 0x{:02X} written to port 0xCF9 at {:.3f} ms; the pass ended there\n", v.reset->value,
               v.reset->t_ns / 1e6);
  } else if (v.simulator_error) {
    fmt::print("The simulator failed: {}\n", *v.simulator_error);
  } else if (v.stopped) {
    fmt::print("Stopped: {}\n", *v.stopped);
  } else {
    fmt::print("SbPei entry returned {}\n", sim::status_name(p.pei.status));
  }
  fmt::print("Boot mode: 0x{:02X} {}\n", p.pei.boot_mode, sim::boot_mode_name(p.pei.boot_mode));
  fmt::print("PPIs installed, in order:\n");
  for (std::size_t i = 0; i < v.ppis.size(); ++i) fmt::print("  {:2}. {:<38} ({})\n", i + 1, v.ppis[i].ppi, v.ppis[i].by);
  print_config(p.pei);
  print_smbus("SMBus transactions of another module, after SbPei:", p.pei.smbus);
  if (v.permanent_memory)
    fmt::print("Permanent memory: 0x{:08X}, {} MiB\n", v.permanent_memory->first, v.permanent_memory->second >> 20);
  if (!v.migration.empty()) {
    fmt::print("SbPei's data before and after the switch to permanent memory:\n");
    for (const sim::PointerMove &m : v.migration) {
      fmt::print("  {:<50} 0x{:08X} -> 0x{:08X}{}\n", m.what, m.before, m.after,
                 m.left_in_temporary_ram() ? "  (still in temporary RAM)" : "");
    }
  }
  if (p.sleep_boot_mode_after_memory || !p.smbus_after_memory.empty()) {
    fmt::print("After memory, through the PPIs as the PEI core migrated them:\n");
    print_smbus(fmt::format("  SMBus transactions again ({}'s SMBus PPI):", owner(p.smbus_by)), p.smbus_after_memory);
    if (p.sleep_boot_mode_after_memory)
      fmt::print("  GetSleepBootMode ({}'s private PPI): 0x{:02X} {}\n", owner(p.sleep_boot_mode_by),
                 *p.sleep_boot_mode_after_memory, sim::boot_mode_name(*p.sleep_boot_mode_after_memory));
    if (p.stall_after_memory)
      fmt::print("  Stall({} us) ({}'s Stall PPI{}): {}, {:.1f} us of virtual time\n", p.stall_after_memory_us,
                 owner(p.stall_by), p.stall_by == "SbPei" ? "" : ", not SbPei's: not judged",
                 sim::status_name(*p.stall_after_memory), p.stall_after_memory_took_ns / 1e3);
  }
  if (v.reached_dxe_ipl) fmt::print("The DXE IPL was handed the HOB list at 0x{:08X}\n", v.hob_list);
  if (!v.instructions.empty()) {
    fmt::print("Instructions by module:");
    for (const auto &[name, count] : v.instructions) fmt::print(" {} {}", name, count);
    fmt::print("\n");
  }
}

void print_memory_findings(const std::vector<sim::MemoryFinding> &findings) {
  if (findings.empty()) return;
  fmt::print("Memory findings ({}):\n", findings.size());
  for (const sim::MemoryFinding &f : findings) fmt::print("  - {}\n", f.describe());
}

// A board file, or the name of an example board ("s3-usb-resume"), looked for in the installed
// data folder when sbsim runs from an installed prefix, else in the source tree's boards/.
std::string board_path(const std::string &board) {
  if (board.empty() || std::filesystem::exists(board)) return board;
  std::vector<std::string> dirs;
  if (const auto installed = sim::installed_data_dir()) dirs.push_back(*installed + "boards/");
  dirs.push_back(SB_BOARDS_DIR "/");
  for (const std::string &dir : dirs) {
    for (const std::string &file : {board, board + ".toml"})
      if (std::filesystem::is_regular_file(dir + file)) return dir + file;
  }
  return board;  // not found: the loader says so
}

// "Field=Value" (value in C notation: 0x.., decimal) for the hook at 0x100.
std::pair<std::string, std::uint32_t> parse_setting(const std::string &s) {
  const auto eq = s.find('=');
  if (eq == std::string::npos) throw std::invalid_argument("--set wants FIELD=VALUE, got " + s);
  const std::string name = s.substr(0, eq);
  if (sim::find_sb_config_field(name) == nullptr) throw std::invalid_argument("unknown configuration field " + name);
  std::size_t used = 0;
  const unsigned long v = std::stoul(s.substr(eq + 1), &used, 0);
  if (used != s.size() - eq - 1 || v > 0xFFFFFFFFul) throw std::invalid_argument("bad value in " + s);
  return {name, static_cast<std::uint32_t>(v)};
}

// A whole boot of a board: its PEI passes, then DXE unless the passes ended in a reset loop.
struct BoardRun {
  std::unique_ptr<sim::BoardHardware> hw;
  std::vector<sim::PeiBootResult> passes;
  std::optional<sim::DxeResult> dxe;
};

BoardRun run_board(const sim::Board &board, sim::Engine engine) {
  BoardRun run{std::make_unique<sim::BoardHardware>(board), {}, {}};
  run.passes = sim::run_pei_passes(board, *run.hw, 4, engine);
  if (!run.passes.back().reset) run.dxe = sim::run_dxe(board, *run.hw, run.passes.back().boot_mode, engine);
  return run;
}

// A trace to compare: a trace file, or a board file (.toml), which is booted on this build.
std::vector<sim::TraceLine> trace_of(const std::string &path) {
  if (std::filesystem::path(path).extension() != ".toml") return sim::read_trace(path);
  sim::Board board;
  try {
    board = sim::load_board(path);
  } catch (const std::exception &e) {
    throw sim::TraceReadError(e.what());
  }
  return sim::trace_lines(run_board(board, sim::Engine::Host).hw->machine);
}

// sbsim diff OLD NEW: 0 when the traces agree, 1 when they differ, 2 when one cannot be read.
int diff_main(int argc, char **argv) {
  CLI::App app{"Compares two boots register by register: trace files (--trace) or board files, booted on this build"};
  std::string old_path, new_path;
  app.add_option("old", old_path, "the trace (or board) before")->required();
  app.add_option("new", new_path, "the trace (or board) after")->required();
  std::vector<std::string> modules, phases;
  app.add_option("--module", modules,
                 "compare only the accesses made for this module (SbPei, CmosErrorPrompt, PeiCore, ...); a trace "
                 "that names no modules holds SbPei's in PEI and CmosErrorPrompt's in DXE");
  app.add_option("--phase", phases, "compare only the phases that match this pattern (\"PEI pass ?\", DXE)");
  std::uint64_t stall_slack = 0;
  app.add_option("--stall-slack", stall_slack,
                 "US: delays whose lengths differ by at most this much agree (the PM timer runs free: a boot that "
                 "starts the module at another point of the timer's period ends a delay one poll sooner or later)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  try {
    const auto old_lines = sim::fold_delays(sim::select_lines(trace_of(old_path), modules, phases));
    const auto new_lines = sim::fold_delays(sim::select_lines(trace_of(new_path), modules, phases));
    if (sim::diff_traces(old_lines, new_lines, std::cout, stall_slack)) {
      fmt::print("The traces agree: {} lines (delays folded).\n", old_lines.size());
      return 0;
    }
    return 1;
  } catch (const std::exception &e) {
    fmt::print(stderr, "sbsim diff: {}\n", e.what());
    return 2;
  }
}

bool write_file(const std::string &path, const std::function<void(std::ostream &)> &write) {
  std::ofstream out(path);
  if (out) write(out);
  if (!out) fmt::print(stderr, "sbsim: cannot write {}\n", path);
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && std::string(argv[1]) == "diff") return diff_main(argc - 1, argv + 1);
  // sbsim report [BOARD] [boot options] -o FILE: the boot as a review page.
  const bool report_mode = argc >= 2 && std::string(argv[1]) == "report";
  if (report_mode) {
    argv[1] = argv[0];
    --argc;
    ++argv;
  }
  CLI::App app{report_mode ? "Boots a board and writes the boot as one self-contained HTML page for review"
                           : "Simulated boot of the southbridge PEI module on a board"};
  std::string report_file, against_path;
  auto *report_option = app.add_option(report_mode ? "-o,--output" : "--report", report_file,
                                       "write the boot as one self-contained HTML page (outcome, timeline, the "
                                       "accesses, the registers, memory findings, the beeps) to FILE");
  if (report_mode) report_option->required();
  app.add_option("--against", against_path,
                 "with a report: mark what differs from this trace (a golden trace, a --trace file, or a board file "
                 "booted on this build), as sbsim diff finds it");
  std::uint64_t report_stall_slack = 0;
  app.add_option("--stall-slack", report_stall_slack, "with --against: delays within US of each other agree");
  std::string trace_file;
  app.add_option("--trace", trace_file, "write every hardware access as JSON lines to FILE");
  std::optional<unsigned> sleep_type;
  app.add_option("--sleep-type", sleep_type, "SLP_TYP kept in the PM1 control register (3 = resume from S3)")
      ->check(CLI::Range(0, 7));
  std::string board_file;
  app.add_option("board", board_file,
                 "board scenario (TOML), or the name of an example board (s3-usb-resume); without one, the built-in "
                 "power-loss board");
  bool json = false;
  app.add_flag("--json", json, "print the summary as one JSON document instead of text");
  std::optional<std::uint64_t> random_seed;
  app.add_option("--random-board", random_seed,
                 "SEED: boot a board made from SEED out of the given board (or the default): the sleep type, the "
                 "boot mode, the hook and its flags, PM registers, USB ports and a later module's SMBus transactions "
                 "drawn from it; the same seed makes the same board");
  std::vector<std::string> settings;
  app.add_option("--set", settings, "FIELD=VALUE: the platform sets a configuration field at hook point 0x100");
  std::string wav_file;
  app.add_option("--wav", wav_file, "write the PC speaker's sound to FILE (WAV)");
  std::vector<std::string> keys;
  app.add_option("--keys", keys, "keys typed at the prompt (F1, Del, KeypadDel, Period, Esc, Enter, a character)");
  std::string engine_name = "host";
  app.add_option("--engine", engine_name,
                 "host: the modules compiled for this machine; image: SbPei.efi and CmosErrorPrompt.efi in the CPU "
                 "emulator (looked for in $SB_IMAGE_DIR, else the build directory)")
      ->check(CLI::IsMember({"host", "image"}));
  std::string folded_file, timeline_file;
  app.add_option("--folded-trace", folded_file,
                 "write the trace with delays folded and without times (the golden traces' form) to FILE");
  app.add_option("--timeline", timeline_file, "write the boot's timeline as Chrome trace-event JSON to FILE");
  std::string volume_file;
  app.add_option("--pei-volume", volume_file,
                 "boot a PEI firmware volume built by EDK2 (its PEI core, SbPei as TE, a memory PEIM): the simulator "
                 "plays SEC and the DXE IPL; DXE runs on --engine, the image engine unless given");
  std::string pei_image, dxe_image;
  app.add_option("--pei-image", pei_image,
                 "with --engine image: run this IA32 PEIM image in place of SbPei.efi (its entry point gets the PEI "
                 "services)");
  app.add_option("--dxe-image", dxe_image,
                 "with --engine image: run this X64 driver image in place of CmosErrorPrompt.efi");
  bool no_memory_check = false;
  app.add_flag("--no-memory-check", no_memory_check,
               "on the image engine and a volume, do not check the modules' reads and writes of RAM against who owns "
               "it (on by default: a finding makes sbsim exit 1)");
  bool cost = false;
  app.add_flag("--cost", cost,
               "print what each phase cost: port, memory and PCI configuration accesses, time spent delaying, the "
               "real-board estimate (1 us a port access) and, on the image engine, instructions");
  const std::optional<std::string> installed = sim::installed_data_dir();
  app.set_version_flag("--version", fmt::format("sbsim {} (git {})\ndata: {}", SB_VERSION, SB_GIT_REVISION,
                                                installed ? *installed : "the source and build trees"));
  CLI11_PARSE(app, argc, argv);
  board_file = board_path(board_file);
  const sim::Engine engine = *sim::engine_named(engine_name);
  sim::SbPeiModule::count_instructions(cost);
  sim::SbPeiModule::check_memory(!no_memory_check);
  sim::SbPeiModule::use_images(pei_image, dxe_image);

  try {
    // The trace to compare with is read (or booted) before this boot, which owns the machine.
    std::optional<std::vector<sim::TraceLine>> against;
    if (!against_path.empty()) against = trace_of(against_path);
    sim::Board board = board_file.empty() ? sim::default_board() : sim::load_board(board_file);
    if (random_seed) board = sim::random_board(board, *random_seed);
    if (sleep_type) board.sleep_type = *sleep_type;
    if (!keys.empty()) board.keys = keys;
    for (const std::string &s : settings) board.hook_settings[SbHookAfterDefaults].push_back(parse_setting(s));
    const std::string label =
        board_file.empty() ? std::string("power-loss") : std::filesystem::path(board_file).stem().string();
    // What a boot leaves for the files asked for.
    // `summary` makes the boot's summary, for a report only.
    const auto write_outputs = [&](sim::BoardHardware &hw, const std::string &engine_label,
                                   const std::function<nlohmann::ordered_json()> &summary) {
      if (!wav_file.empty() && !hw.southbridge.speaker.write_wav(wav_file)) {
        fmt::print(stderr, "sbsim: cannot write {}\n", wav_file);
        return false;
      }
      if (!trace_file.empty() && !write_file(trace_file, [&](std::ostream &out) {
            // Memory findings at their places among the accesses.
            const auto &findings = hw.machine.memory().findings();
            hw.machine.trace().write_jsonl(out, &hw.machine.timeline().context_names(), [&](std::ostream &o, std::size_t i) {
              for (const sim::MemoryFinding &f : findings)
                if (f.trace_index == i) o << nlohmann::ordered_json{{"memory_finding", sim::memory_finding_json(f)}}.dump() << '\n';
            });
          })) {
        return false;
      }
      if (!folded_file.empty() && !write_file(folded_file, [&](std::ostream &out) {
            sim::write_folded(out, sim::fold_delays(sim::trace_lines(hw.machine)));
          })) {
        return false;
      }
      if (!timeline_file.empty() &&
          !write_file(timeline_file, [&](std::ostream &out) { out << sim::timeline_json(hw.machine).dump() << '\n'; })) {
        return false;
      }
      if (report_file.empty()) return true;
      const sim::ReportInput report{board.name, engine_label, &hw.machine, summary(), against, against_path,
                                    report_stall_slack,
                                    hw.southbridge.speaker.tones().empty() ? std::string() : hw.southbridge.speaker.wav(11025)};
      if (!write_file(report_file, [&](std::ostream &out) { out << sim::report_html(report); })) return false;
      if (report_mode) fmt::print("Report: {}\n", report_file);
      return true;
    };
    const auto dxe_clean = [](const std::optional<sim::DxeResult> &dxe) {
      return !dxe || (!dxe->stopped && dxe->pool_errors.empty() && dxe->pool_leaks == 0);
    };

    if (!volume_file.empty()) {
      // The volume's PEI phase runs the images; so does DXE unless --engine says otherwise.
      const sim::Engine dxe_engine = app.count("--engine") != 0 ? engine : sim::Engine::Image;
      sim::BoardHardware hw(board);
      const sim::VolumeBoot boot = sim::run_volume_boot(board, hw, volume_file, dxe_engine,
                                                        {.count_instructions = cost, .check_memory = !no_memory_check});
      std::vector<sim::PeiBootResult> passes;
      for (const sim::VolumePass &p : boot.passes) passes.push_back(p.pei);
      if (cost) {
        fmt::print("{}", sim::format_costs(label, sim::boot_costs(passes, boot.dxe)));
        // The instruction column is SbPei's; every module's, the PEI core's among them:
        for (std::size_t i = 0; i < boot.passes.size(); ++i) {
          fmt::print("instructions in PEI pass {} by module:", i + 1);
          for (const auto &[module, count] : boot.passes[i].volume.instructions) fmt::print(" {} {}", module, count);
          fmt::print("\n");
        }
      } else if (json) {
        fmt::print("{}\n", sim::volume_summary_json(board, boot, hw.machine).dump(2));
      } else {
        fmt::print("Board: {}\n", board.name);
        print_volume(sim::PeiVolume::load(volume_file), volume_file);
        for (std::size_t i = 0; i < boot.passes.size(); ++i) print_volume_pass(i + 1, boot.passes[i]);
        fmt::print("{} PEI pass(es), {} reset(s)\n", boot.passes.size(), hw.southbridge.reset.resets().size());
        if (boot.dxe) print_dxe(*boot.dxe);
        if (!boot.unclaimed.empty()) fmt::print("Ports and memory no device claims (read all ones):\n");
        for (const std::string &u : boot.unclaimed) fmt::print("  {}\n", u);
        if (!boot.findings.empty()) fmt::print("Findings:\n");
        for (const std::string &f : boot.findings) fmt::print("  - {}\n", f);
        print_memory_findings(hw.machine.memory().findings());
        fmt::print("Total: {} hardware accesses, virtual time {:.3f} ms\n", hw.machine.trace().size(),
                   hw.machine.now_ns() / 1e6);
      }
      for (const std::string &f : boot.findings) fmt::print(stderr, "sbsim: {}\n", f);
      const std::vector<sim::MemoryFinding> &memory = hw.machine.memory().findings();
      for (const sim::MemoryFinding &f : memory) fmt::print(stderr, "sbsim: memory: {}\n", f.describe());
      if (!write_outputs(hw, "volume " + std::filesystem::path(volume_file).filename().string(),
                         [&] { return sim::volume_summary_json(board, boot, hw.machine); }))
        return 1;
      return boot.findings.empty() && memory.empty() && dxe_clean(boot.dxe) ? 0 : 1;
    }

    const BoardRun run = run_board(board, engine);
    sim::BoardHardware &hw = *run.hw;
    const std::vector<sim::PeiBootResult> &passes = run.passes;
    const std::optional<sim::DxeResult> &dxe = run.dxe;
    const bool reset_loop = passes.back().reset.has_value();

    const std::vector<sim::MemoryFinding> &memory = hw.machine.memory().findings();
    bool clean = !reset_loop && dxe_clean(dxe) && memory.empty();
    for (const sim::PeiBootResult &p : passes) clean = clean && p.unexpected_calls.empty();

    if (cost) {
      fmt::print("{}", sim::format_costs(label, sim::boot_costs(passes, dxe)));
    } else if (json) {
      fmt::print("{}\n", sim::summary_json(board, passes, dxe, hw.machine).dump(2));
    } else {
      fmt::print("Board: {}\n", board.name);
      for (std::size_t i = 0; i < passes.size(); ++i) print_pass(i + 1, passes[i]);
      fmt::print("{} PEI pass(es), {} reset(s)\n", passes.size(), hw.southbridge.reset.resets().size());
      if (dxe) print_dxe(*dxe);
      print_memory_findings(memory);
      fmt::print("Total: {} hardware accesses, virtual time {:.3f} ms\n", hw.machine.trace().size(),
                 hw.machine.now_ns() / 1e6);
    }
    for (const sim::MemoryFinding &f : memory) fmt::print(stderr, "sbsim: memory: {}\n", f.describe());
    if (reset_loop) fmt::print(stderr, "sbsim: the board kept resetting; stopped after {} passes\n", passes.size());
    if (!write_outputs(hw, engine_name, [&] { return sim::summary_json(board, passes, dxe, hw.machine); })) return 1;
    return clean ? 0 : 1;
  } catch (const std::exception &e) {
    fmt::print(stderr, "sbsim: {}\n", e.what());
    return 1;
  }
}
