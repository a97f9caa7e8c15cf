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

void print_summary(const sim::PeiBootResult &r, const sim::Machine &m) {
  fmt::print("SbPei entry returned {}\n", sim::status_name(r.status));
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
  fmt::print("Hardware accesses: {}, virtual time {:.3f} ms\n", m.trace().size(), m.now_ns() / 1e6);
  for (const std::string &u : r.unexpected_calls) fmt::print("Unexpected service call: {}\n", u);
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"Simulated boot of the southbridge PEI module on a board"};
  std::string trace_file;
  app.add_option("--trace", trace_file, "write every hardware access as JSON lines to FILE");
  unsigned sleep_type = 0;
  app.add_option("--sleep-type", sleep_type, "SLP_TYP kept in the PM1 control register (3 = resume from S3)")
      ->check(CLI::Range(0, 7));
  CLI11_PARSE(app, argc, argv);

  try {
    sim::PeiBoard board = sim::default_pei_board();
    board.sleep_type = sleep_type;
    sim::BoardHardware hw;
    sim::set_initial_state(board, hw);
    sim::Machine &machine = hw.machine;
    const sim::PeiBootResult r = sim::run_pei(board, hw);
    print_summary(r, machine);
    if (!trace_file.empty()) {
      std::ofstream out(trace_file);
      if (!out) {
        fmt::print(stderr, "sbsim: cannot write {}\n", trace_file);
        return 1;
      }
      machine.trace().write_jsonl(out);
    }
    return r.unexpected_calls.empty() ? 0 : 1;
  } catch (const std::exception &e) {
    fmt::print(stderr, "sbsim: {}\n", e.what());
    return 1;
  }
}
