#include "sim/board/timeline_json.h"

#include <map>

#include <fmt/format.h>

#include "sim/machine/machine.h"
#include "sim/board/trace_diff.h"

namespace sim {
namespace {

constexpr int kPid = 1;
constexpr int kCounterTid = 0;

double us(std::uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

}  // namespace

nlohmann::json timeline_json(const Machine &machine) {
  const Timeline &timeline = machine.timeline();
  nlohmann::json events = nlohmann::json::array();
  events.push_back({{"ph", "M"}, {"pid", kPid}, {"name", "process_name"}, {"args", {{"name", "simulated boot"}}}});

  // One track (thread) per phase, numbered in boot order.
  std::map<std::string, int> tids;
  for (const Timeline::Span &s : timeline.spans()) {
    if (tids.emplace(s.track, static_cast<int>(tids.size()) + 1).second) {
      const int tid = tids[s.track];
      events.push_back({{"ph", "M"}, {"pid", kPid}, {"tid", tid}, {"name", "thread_name"}, {"args", {{"name", s.track}}}});
      events.push_back(
          {{"ph", "M"}, {"pid", kPid}, {"tid", tid}, {"name", "thread_sort_index"}, {"args", {{"sort_index", tid}}}});
    }
  }
  for (const Timeline::Span &s : timeline.spans()) {
    events.push_back({{"ph", "X"}, {"pid", kPid}, {"tid", tids[s.track]}, {"name", s.name},
                      {"cat", s.depth == 0 ? "phase" : "step"}, {"ts", us(s.start_ns)},
                      {"dur", us(s.end_ns - s.start_ns)},
                      {"args", {{"accesses", s.end_access - s.first_access}}}});
  }
  for (const Timeline::Instant &i : timeline.instants()) {
    events.push_back({{"ph", "i"}, {"s", "t"}, {"pid", kPid}, {"tid", tids[i.track]}, {"name", i.name},
                      {"cat", "event"}, {"ts", us(i.t_ns)}});
  }

  // Delays, from the accesses: each run of timer polls or port-0x80 reads in one context.
  const std::vector<TraceLine> lines = trace_lines(machine);
  for (std::size_t i = 0; i < lines.size();) {
    const std::optional<DelayRun> run = delay_run_at(lines, i);
    if (!run) {
      ++i;
      continue;
    }
    if (tids.count(lines[i].phase) != 0) {
      const std::uint64_t start = *lines[i].t_ns;
      events.push_back({{"ph", "X"}, {"pid", kPid}, {"tid", tids[lines[i].phase]},
                        {"name", fmt::format("stall {} us", run->us)}, {"cat", "delay"}, {"ts", us(start)},
                        {"dur", static_cast<double>(run->us)}, {"args", {{"accesses", run->end - run->first}}}});
    }
    i = run->end;
  }

  // Accesses per microsecond: a value for each microsecond that had accesses, and 0 where a
  // quiet stretch begins.
  const auto &entries = machine.trace().entries();
  for (std::size_t i = 0; i < entries.size();) {
    const std::uint64_t bucket = entries[i].t_ns / 1000;
    std::size_t j = i;
    while (j < entries.size() && entries[j].t_ns / 1000 == bucket) ++j;
    events.push_back({{"ph", "C"}, {"pid", kPid}, {"tid", kCounterTid}, {"name", "hardware accesses per us"},
                      {"ts", static_cast<double>(bucket)}, {"args", {{"accesses", j - i}}}});
    if (j == entries.size() || entries[j].t_ns / 1000 > bucket + 1) {
      events.push_back({{"ph", "C"}, {"pid", kPid}, {"tid", kCounterTid}, {"name", "hardware accesses per us"},
                        {"ts", static_cast<double>(bucket + 1)}, {"args", {{"accesses", 0}}}});
    }
    i = j;
  }
  return {{"traceEvents", events}, {"displayTimeUnit", "ns"}};
}

}  // namespace sim
