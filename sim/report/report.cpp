#include "sim/report/report.h"

#include <fmt/format.h>

#include <map>
#include <set>

#include "sim/board/summary.h"
#include "sim/devices/register_bits.h"
#include "sim/machine/machine.h"
#include "sim/machine/memory_check.h"
#include "sim/report/report_template.h"

namespace sim {
namespace {

using json = nlohmann::ordered_json;

constexpr std::string_view kDataMarker = "/*REPORT_DATA*/";

std::string base64(const std::string &bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<std::uint8_t>(bytes[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[v >> (18 - 6 * k) & 0x3F] : '=';
  }
  return out;
}

// Every access as a row: [t_ns, op, addr, width, value, reg, via, module, phase, in, source],
// the source an index into `sources` (the image instruction that made it, named by the image's
// symbols), -1 where no image code made it.
json trace_rows(const Machine &machine, const std::vector<TraceLine> &lines, json &sources) {
  std::map<std::uint64_t, int> index;
  json rows = json::array();
  const auto &entries = machine.trace().entries();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const TraceLine &l = lines[i];
    int source = -1;
    if (const std::uint64_t pc = entries[i].pc; pc != 0) {
      auto [it, added] = index.emplace(pc, static_cast<int>(sources.size()));
      if (added) sources.push_back(machine.describe_code(pc));
      source = it->second;
    }
    rows.push_back(
        json::array({l.t_ns.value_or(0), l.op, l.addr, l.width, l.value, l.reg, l.via, module_of(l), l.phase, l.in, source}));
  }
  return rows;
}

// Spans, instants and delays, each with its place in the trace.
json timeline_data(const Machine &machine, const std::vector<TraceLine> &lines) {
  const Timeline &timeline = machine.timeline();
  json spans = json::array(), instants = json::array(), delays = json::array();
  for (const Timeline::Span &s : timeline.spans())
    spans.push_back(json::array({s.track, s.name, s.start_ns, s.end_ns, s.first_access, s.end_access, s.depth}));
  for (const Timeline::Instant &i : timeline.instants()) instants.push_back(json::array({i.track, i.name, i.t_ns}));
  for (std::size_t i = 0; i < lines.size();) {
    const std::optional<DelayRun> run = delay_run_at(lines, i);
    if (!run) {
      ++i;
      continue;
    }
    delays.push_back(json::array({lines[i].phase, run->us, lines[i].t_ns.value_or(0), run->first, run->end}));
    i = run->end;
  }
  return {{"spans", spans}, {"instants", instants}, {"delays", delays}};
}

// The named bit fields of the registers the trace holds.
json bit_fields(const std::vector<TraceLine> &lines) {
  json out = json::object();
  std::set<std::string> seen;
  for (const TraceLine &l : lines) {
    if (l.reg.empty() || !seen.insert(l.reg).second) continue;
    json fields = json::array();
    for (const BitField &f : bit_fields_of(l.reg)) fields.push_back(json::array({f.low, f.high, f.name}));
    if (!fields.empty()) out[l.reg] = fields;
  }
  return out;
}

// The differences from the other trace, both folded, placed on this boot's accesses: a changed
// or added line marks the accesses it folds; a removed one sits before the access that follows it.
json diff_data(const ReportInput &in, const std::vector<TraceLine> &lines) {
  std::vector<std::size_t> first;
  const std::vector<TraceLine> folded = fold_delays(lines, &first);
  const std::vector<TraceLine> old_folded = fold_delays(*in.against);
  const std::vector<DiffMark> marks = diff_marks(old_folded, folded, in.stall_slack_us);
  const auto rows_of = [&](std::size_t f) {
    const std::size_t end = f + 1 < first.size() ? first[f + 1] : lines.size();
    return json::array({first[f], end});
  };
  json out = json::array();
  std::size_t next_new = 0;  // the new trace's folded line where a removed one would have been
  unsigned changed = 0, added = 0, removed = 0;
  for (const DiffMark &m : marks) {
    if (m.hunk) next_new = m.hunk->after_new;
    if (m.new_index) next_new = *m.new_index + 1;
    json j;
    switch (m.kind) {
      case DiffMark::Kind::Changed:
        ++changed;
        j = {{"kind", "changed"}, {"rows", rows_of(*m.new_index)}, {"old", describe(old_folded[*m.old_index])},
             {"old_value", old_folded[*m.old_index].value}, {"old_us", old_folded[*m.old_index].stall_us}};
        break;
      case DiffMark::Kind::Added:
        ++added;
        j = {{"kind", "added"}, {"rows", rows_of(*m.new_index)}};
        break;
      case DiffMark::Kind::Removed:
        ++removed;
        j = {{"kind", "removed"}, {"before", next_new < first.size() ? first[next_new] : lines.size()},
             {"old", describe(old_folded[*m.old_index])}, {"phase", old_folded[*m.old_index].phase},
             {"in", old_folded[*m.old_index].in}};
        break;
    }
    out.push_back(j);
  }
  return {{"against", in.against_name}, {"count", marks.size()}, {"changed", changed}, {"added", added},
          {"removed", removed}, {"marks", out}};
}

}  // namespace

json report_data(const ReportInput &in) {
  const Machine &machine = *in.machine;
  const std::vector<TraceLine> lines = trace_lines(machine);
  json data;
  data["board"] = in.board;
  data["engine"] = in.engine;
  data["summary"] = in.summary;
  json sources = json::array();
  data["trace"] = trace_rows(machine, lines, sources);
  data["sources"] = sources;
  data["timeline"] = timeline_data(machine, lines);
  data["bits"] = bit_fields(lines);
  data["diff"] = in.against ? diff_data(in, lines) : json(nullptr);
  data["memory_findings"] = memory_findings_json(machine.memory().findings());
  data["wav"] = in.wav.empty() ? json(nullptr) : json("data:audio/wav;base64," + base64(in.wav));
  return data;
}

std::string report_html(const ReportInput &in) {
  std::string data = report_data(in).dump();
  // Inside a script element: no "</" may close it early (JSON allows "<\/").
  for (std::size_t at = data.find("</"); at != std::string::npos; at = data.find("</", at + 3)) data.replace(at, 2, "<\\/");
  std::string page(kReportTemplate);
  const std::size_t at = page.find(kDataMarker);
  page.replace(at, kDataMarker.size(), data);
  return page;
}

}  // namespace sim
