// Register-level review of a boot: traces read back from JSON lines, folded so that a delay is
// one line, and compared access by access in boot order.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class Machine;

// One access of a trace, or (after folding) one delay: a run of ACPI PM timer polls or of
// port-0x80 reads, with its length in microseconds.
struct TraceLine {
  std::string phase, in;  // "PEI pass 1", "SbPeiEntry/early programming"
  std::string op;         // in, out, rd, wr; "stall" for a folded delay
  std::uint64_t addr = 0;
  unsigned width = 8;
  std::uint32_t value = 0;
  std::string reg, via;
  std::string module;  // the module it was made for, where the trace names one
  std::uint64_t stall_us = 0;
  std::optional<std::uint64_t> t_ns;  // raw traces only
};

// A file that is not a trace: the message names the file and the line.
struct TraceReadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<TraceLine> read_trace(const std::string &path);
std::vector<TraceLine> trace_lines(const Machine &machine);

// A delay: a run of reads that only wait (ACPI PM timer polls, or reads of port 0x80), of one
// kind and in one context, lines [first, end) of a trace. Its length is the virtual time from
// the first read to the last, plus the last one (1 us each); without times, 1 us a read.
struct DelayRun {
  std::size_t first, end;
  std::uint64_t us;
};
// The delay that starts at lines[i], if lines[i] is a read that only waits.
std::optional<DelayRun> delay_run_at(const std::vector<TraceLine> &lines, std::size_t i);

// The module a line was made for: the one it names, else (a trace of our two modules alone, as
// the golden traces are) SbPei in a PEI phase and CmosErrorPrompt in DXE.
std::string module_of(const TraceLine &line);

// The lines of the given modules (all when `modules` is empty) in phases that match one of
// `phases` (shell patterns, as in "PEI pass ?"; all when empty).
std::vector<TraceLine> select_lines(const std::vector<TraceLine> &lines, const std::vector<std::string> &modules,
                                    const std::vector<std::string> &phases);

// Each delay becomes one "stall N us" line; `first`, if given, gets each folded line's first line.
std::vector<TraceLine> fold_delays(const std::vector<TraceLine> &lines, std::vector<std::size_t> *first = nullptr);

// The folded trace as JSON lines without times: what tests/golden/ keeps.
void write_folded(std::ostream &out, const std::vector<TraceLine> &folded);

// One line as the diff prints it: "wr PM 0x62 [mem 0xFED80362, 8-bit] = 0x04".
std::string describe(const TraceLine &line);

// What differs between two (folded) traces, in boot order: a line whose value (or delay) changed,
// a line only the old trace has, a line only the new one has. Indexes are into the two traces. The
// first mark of a group of differences (a hunk) says where it lies: after access `after_old` of
// the old trace (whose line is shown for orientation when `context`), under the phase and step of
// the hunk's first line.
struct DiffMark {
  enum class Kind { Changed, Removed, Added };
  struct Hunk {
    std::size_t after_old = 0, after_new = 0;  // lines of each trace before the hunk
    bool context = false;
    std::optional<std::size_t> heading_old, heading_new;
  };
  Kind kind = Kind::Changed;
  std::optional<std::size_t> old_index, new_index;
  std::optional<Hunk> hunk;
};
std::vector<DiffMark> diff_marks(const std::vector<TraceLine> &old_lines, const std::vector<TraceLine> &new_lines,
                                 std::uint64_t stall_slack_us = 0);

// Prints the differences, grouped by phase and by what the module was doing; true when the
// (folded) traces agree. Delays that differ by at most `stall_slack_us` count as the same: a
// delay on the free-running PM timer ends within one poll of the same time, and which poll
// depends on where in its 0.28 us period the timer was when the module started (a boot where
// other firmware ran first starts at another point).
bool diff_traces(const std::vector<TraceLine> &old_lines, const std::vector<TraceLine> &new_lines, std::ostream &out,
                 std::uint64_t stall_slack_us = 0);

}  // namespace sim
