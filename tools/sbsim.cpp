// sbsim: a simulated boot of SbPei on a board, with a readable summary and the trace.
#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fstream>
#include <iostream>

#include "sim/machine.h"
#include "sim/names.h"
#include "sim/pei_boot.h"
#include "sim/sb_config_fields.h"

namespace {

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
  if (r.config) {
    fmt::print("Southbridge configuration HOB ({} bytes of data):\n", sizeof(SB_CONFIG));
    for (const sim::ConfigField &f : sim::sb_config_fields()) {
      fmt::print("  0x{:02X} {:<18} 0x{:0{}X}\n", f.offset, f.name, sim::read_field(*r.config, f), f.bytes * 2);
    }
  } else {
    fmt::print("No southbridge configuration HOB was made.\n");
  }
  if (!r.smbus.empty()) fmt::print("SMBus transactions of another module, after SbPei:\n");
  for (const sim::SmbusResult &t : r.smbus) {
    fmt::print("  instance {} address 0x{:02X} command 0x{:02X} {:<14} -> {} length {}", t.request.instance,
               t.request.address, t.request.command, sim::smbus_operation_name(t.request.operation),
               sim::status_name(t.status), t.length);
    if (t.status == EFI_SUCCESS && !t.data.empty()) {
      fmt::print(" data");
      for (std::uint8_t b : t.data) fmt::print(" {:02X}", b);
    }
    fmt::print("\n");
  }
  for (const std::string &u : r.unexpected_calls) fmt::print("Unexpected service call: {}\n", u);
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

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Simulated boot of the southbridge PEI module on a board"};
  std::string trace_file;
  app.add_option("--trace", trace_file, "write every hardware access as JSON lines to FILE");
  std::optional<unsigned> sleep_type;
  app.add_option("--sleep-type", sleep_type, "SLP_TYP kept in the PM1 control register (3 = resume from S3)")
      ->check(CLI::Range(0, 7));
  std::string board_name = "power-loss";
  app.add_option("--board", board_name, "built-in board: power-loss (default), s3-usb, one-time-reset, smbus-spd");
  std::vector<std::string> settings;
  app.add_option("--set", settings, "FIELD=VALUE: the platform sets a configuration field at hook point 0x100");
  CLI11_PARSE(app, argc, argv);

  try {
    std::optional<sim::PeiBoard> builtin = sim::builtin_pei_board(board_name);
    if (!builtin) throw std::invalid_argument("no built-in board named " + board_name);
    sim::PeiBoard board = *builtin;
    if (sleep_type) board.sleep_type = *sleep_type;
    for (const std::string &s : settings) board.hook_settings[SbHookAfterDefaults].push_back(parse_setting(s));
    sim::BoardHardware hw(board);
    const std::vector<sim::PeiBootResult> passes = sim::run_pei_passes(board, hw);
    bool clean = true;
    for (std::size_t i = 0; i < passes.size(); ++i) {
      print_pass(i + 1, passes[i]);
      clean = clean && passes[i].unexpected_calls.empty();
    }
    fmt::print("{} pass(es), {} reset(s), {} hardware accesses, virtual time {:.3f} ms\n", passes.size(),
               hw.southbridge.reset.resets().size(), hw.machine.trace().size(), hw.machine.now_ns() / 1e6);
    if (passes.back().reset) {
      fmt::print(stderr, "sbsim: the board kept resetting; stopped after {} passes\n", passes.size());
      clean = false;
    }
    if (!trace_file.empty()) {
      std::ofstream out(trace_file);
      if (!out) {
        fmt::print(stderr, "sbsim: cannot write {}\n", trace_file);
        return 1;
      }
      hw.machine.trace().write_jsonl(out);
    }
    return clean ? 0 : 1;
  } catch (const std::exception &e) {
    fmt::print(stderr, "sbsim: {}\n", e.what());
    return 1;
  }
}
