#include "sim/board/trace_diff.h"

#include <dtl/dtl.hpp>
#include <fnmatch.h>
#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>

#include "sim/machine/machine.h"

namespace sim {
namespace {

constexpr std::uint64_t kDelayPort = 0x80;

// A read that only waits: an ACPI PM timer poll or a read of port 0x80.
bool is_delay(const TraceLine &l) { return l.op == "in" && (l.reg == "PM_TMR" || l.addr == kDelayPort); }
bool is_delay_port(const TraceLine &l) { return l.op == "in" && l.addr == kDelayPort; }

// What must be equal for two lines to be the same access (times aside). With a slack, the
// length of a delay is compared afterwards.
std::string key(const TraceLine &l, bool slack) {
  if (l.op == "stall") return slack ? fmt::format("{}|{}|stall", l.phase, l.in) : fmt::format("{}|{}|stall|{}", l.phase, l.in, l.stall_us);
  return fmt::format("{}|{}|{}|{:x}|{}|{:x}|{}", l.phase, l.in, l.op, l.addr, l.width, l.value, l.via);
}
// The same register, whatever the value.
bool same_register(const TraceLine &a, const TraceLine &b) {
  return a.phase == b.phase && a.in == b.in && a.op == b.op && a.addr == b.addr && a.width == b.width &&
         a.reg == b.reg && a.via == b.via;
}

std::string changed_bits(std::uint32_t before, std::uint32_t after, unsigned width) {
  std::string out;
  const std::uint32_t diff = before ^ after;
  for (unsigned bit = 0; bit < width; ++bit) {
    if ((diff >> bit & 1) == 0) continue;
    out += fmt::format("{}bit {} {}->{}", out.empty() ? "" : ", ", bit, before >> bit & 1, after >> bit & 1);
  }
  return out;
}

std::string hex_value(std::uint32_t value, unsigned width) { return fmt::format("0x{:0{}X}", value, width / 4); }

TraceLine from_json(const nlohmann::json &j) {
  TraceLine l;
  l.phase = j.value("phase", "");
  l.in = j.value("in", "");
  l.op = j.at("op").get<std::string>();
  if (l.op == "stall") {
    l.stall_us = j.at("us").get<std::uint64_t>();
    return l;
  }
  if (l.op != "in" && l.op != "out" && l.op != "rd" && l.op != "wr") throw std::invalid_argument("unknown op " + l.op);
  l.addr = j.at("addr").get<std::uint64_t>();
  l.width = j.at("width").get<unsigned>();
  if (l.width != 8 && l.width != 16 && l.width != 32) throw std::invalid_argument("width must be 8, 16 or 32");
  l.value = j.at("value").get<std::uint32_t>();
  l.reg = j.value("reg", "");
  l.via = j.value("via", "");
  l.module = j.value("module", "");
  if (j.contains("t")) l.t_ns = j.at("t").get<std::uint64_t>();
  return l;
}

}  // namespace

std::optional<DelayRun> delay_run_at(const std::vector<TraceLine> &lines, std::size_t i) {
  if (!is_delay(lines[i])) return std::nullopt;
  std::size_t j = i + 1;
  while (j < lines.size() && is_delay(lines[j]) && is_delay_port(lines[j]) == is_delay_port(lines[i]) &&
         lines[j].phase == lines[i].phase && lines[j].in == lines[i].in) {
    ++j;
  }
  const auto first = lines[i].t_ns, last = lines[j - 1].t_ns;
  return DelayRun{i, j, first && last ? (*last - *first) / 1000 + 1 : j - i};
}

std::vector<TraceLine> read_trace(const std::string &path) {
  std::ifstream in(path);
  if (!in) throw TraceReadError(path + ": cannot read");
  std::vector<TraceLine> lines;
  std::string text;
  for (std::size_t number = 1; std::getline(in, text); ++number) {
    if (text.empty()) continue;
    try {
      const nlohmann::json j = nlohmann::json::parse(text);
      if (j.is_object() && j.contains("memory_finding")) continue;  // a finding at its place, not an access
      lines.push_back(from_json(j));
    } catch (const std::exception &e) {
      throw TraceReadError(fmt::format("{}:{}: not a trace line: {}", path, number, e.what()));
    }
  }
  return lines;
}

std::vector<TraceLine> trace_lines(const Machine &machine) {
  std::vector<TraceLine> lines;
  const Timeline &timeline = machine.timeline();
  for (const Access &a : machine.trace().entries()) {
    TraceLine l;
    ContextParts parts = split_context(timeline.context_name(a.context));
    l.phase = std::move(parts.phase);
    l.in = std::move(parts.in);
    l.op = op_name(a.op);
    l.addr = a.addr;
    l.width = a.width;
    l.value = a.value;
    l.reg = a.reg;
    l.via = a.via != nullptr ? a.via : "";
    l.module = a.module != nullptr ? a.module : "";
    l.t_ns = a.t_ns;
    lines.push_back(std::move(l));
  }
  return lines;
}

std::string module_of(const TraceLine &line) {
  if (!line.module.empty()) return line.module;
  if (line.phase.rfind("PEI", 0) == 0) return "SbPei";
  if (line.phase == "DXE") return "CmosErrorPrompt";
  return {};
}

std::vector<TraceLine> select_lines(const std::vector<TraceLine> &lines, const std::vector<std::string> &modules,
                                    const std::vector<std::string> &phases) {
  std::vector<TraceLine> out;
  for (const TraceLine &l : lines) {
    const bool module = modules.empty() || std::find(modules.begin(), modules.end(), module_of(l)) != modules.end();
    const bool phase = phases.empty() || std::any_of(phases.begin(), phases.end(), [&](const std::string &p) {
                         return fnmatch(p.c_str(), l.phase.c_str(), 0) == 0;
                       });
    if (module && phase) out.push_back(l);
  }
  return out;
}

std::vector<TraceLine> fold_delays(const std::vector<TraceLine> &lines, std::vector<std::size_t> *first) {
  std::vector<TraceLine> out;
  for (std::size_t i = 0; i < lines.size();) {
    if (first != nullptr) first->push_back(i);
    const std::optional<DelayRun> run = delay_run_at(lines, i);
    if (!run) {
      out.push_back(lines[i++]);
      continue;
    }
    TraceLine stall;
    stall.phase = lines[i].phase;
    stall.in = lines[i].in;
    stall.op = "stall";
    stall.module = lines[i].module;
    stall.stall_us = run->us;
    out.push_back(std::move(stall));
    i = run->end;
  }
  return out;
}

void write_folded(std::ostream &out, const std::vector<TraceLine> &folded) {
  for (const TraceLine &l : folded) {
    nlohmann::ordered_json j;
    j["phase"] = l.phase;
    if (!l.in.empty()) j["in"] = l.in;
    j["op"] = l.op;
    if (l.op == "stall") {
      j["us"] = l.stall_us;
    } else {
      j["addr"] = l.addr;
      j["width"] = l.width;
      j["value"] = l.value;
      if (!l.reg.empty()) j["reg"] = l.reg;
      if (!l.via.empty()) j["via"] = l.via;
    }
    if (!l.module.empty()) j["module"] = l.module;
    out << j.dump() << '\n';
  }
}

std::string describe(const TraceLine &l) {
  if (l.op == "stall") return fmt::format("stall {} us", l.stall_us);
  const bool port = l.op == "in" || l.op == "out";
  const std::string where = fmt::format("{} 0x{:X}, {}-bit{}", port ? "port" : "mem", l.addr, l.width,
                                        l.via.empty() ? "" : ", via " + l.via);
  const std::string name = l.reg.empty() ? fmt::format("0x{:X}", l.addr) : l.reg;
  return fmt::format("{:<3} {} [{}] = {}", l.op, name, where, hex_value(l.value, l.width));
}

std::vector<DiffMark> diff_marks(const std::vector<TraceLine> &old_lines, const std::vector<TraceLine> &new_lines,
                                 std::uint64_t stall_slack_us) {
  std::vector<std::string> a, b;
  for (const TraceLine &l : old_lines) a.push_back(key(l, stall_slack_us != 0));
  for (const TraceLine &l : new_lines) b.push_back(key(l, stall_slack_us != 0));
  dtl::Diff<std::string, std::vector<std::string>> diff(a, b);
  diff.compose();
  const auto ses = diff.getSes().getSequence();

  std::vector<DiffMark> marks;
  for (std::size_t i = 0; i < ses.size();) {
    if (ses[i].second.type == dtl::SES_COMMON) {
      // Delays matched by place: their lengths may differ by the slack.
      const std::size_t o = static_cast<std::size_t>(ses[i].second.beforeIdx - 1);
      const std::size_t c = static_cast<std::size_t>(ses[i].second.afterIdx - 1);
      const std::uint64_t so = old_lines[o].stall_us, sc = new_lines[c].stall_us;
      if (old_lines[o].op == "stall" && (so > sc ? so - sc : sc - so) > stall_slack_us)
        marks.push_back({DiffMark::Kind::Changed, o, c, DiffMark::Hunk{o, c, false, o, std::nullopt}});
      ++i;
      continue;
    }
    // A hunk: deletions then additions (dtl's order), up to the next common line.
    std::vector<std::size_t> removed, added;
    std::size_t j = i;
    for (; j < ses.size() && ses[j].second.type != dtl::SES_COMMON; ++j) {
      if (ses[j].second.type == dtl::SES_DELETE) removed.push_back(static_cast<std::size_t>(ses[j].second.beforeIdx - 1));
      else added.push_back(static_cast<std::size_t>(ses[j].second.afterIdx - 1));
    }
    // The common line before the hunk, for orientation.
    DiffMark::Hunk hunk{i > 0 ? static_cast<std::size_t>(ses[i - 1].second.beforeIdx) : 0,
                        i > 0 ? static_cast<std::size_t>(ses[i - 1].second.afterIdx) : 0, i > 0, std::nullopt,
                        std::nullopt};
    if (!removed.empty()) hunk.heading_old = removed.front();
    else hunk.heading_new = added.front();
    // Pair a removed line with an added one of the same register: a changed value. Lines
    // without a partner are removed or added, in boot order.
    const auto partner_ahead = [&](std::size_t r, std::size_t n) {
      for (std::size_t k = n; k < added.size(); ++k) {
        if (same_register(old_lines[removed[r]], new_lines[added[k]])) return true;
      }
      return false;
    };
    std::size_t r = 0, n = 0;
    for (bool first = true; r < removed.size() || n < added.size(); first = false) {
      DiffMark m;
      if (r < removed.size() && n < added.size() && same_register(old_lines[removed[r]], new_lines[added[n]])) {
        m = {DiffMark::Kind::Changed, removed[r++], added[n++], std::nullopt};
      } else if (r < removed.size() && (n == added.size() || !partner_ahead(r, n))) {
        m = {DiffMark::Kind::Removed, removed[r++], std::nullopt, std::nullopt};
      } else {
        m = {DiffMark::Kind::Added, std::nullopt, added[n++], std::nullopt};
      }
      if (first) m.hunk = hunk;
      marks.push_back(m);
    }
    i = j;
  }
  return marks;
}

bool diff_traces(const std::vector<TraceLine> &old_lines, const std::vector<TraceLine> &new_lines, std::ostream &out,
                 std::uint64_t stall_slack_us) {
  const std::vector<DiffMark> marks = diff_marks(old_lines, new_lines, stall_slack_us);
  std::string group;  // the phase and step of the last line printed
  const auto heading = [&](const TraceLine &l) {
    const std::string g = l.phase + (l.in.empty() ? "" : " > " + l.in);
    if (g != group) out << "=== " << g << '\n';
    group = g;
  };
  for (const DiffMark &m : marks) {
    if (m.hunk) {
      heading(m.hunk->heading_old ? old_lines[*m.hunk->heading_old] : new_lines[*m.hunk->heading_new]);
      out << fmt::format("@@ after access {} of the old trace\n", m.hunk->after_old);
      if (m.hunk->context) out << "    " << describe(old_lines[m.hunk->after_old - 1]) << '\n';
    }
    switch (m.kind) {
      case DiffMark::Kind::Changed: {
        const TraceLine &o = old_lines[*m.old_index], &c = new_lines[*m.new_index];
        heading(c);
        if (o.op == "stall") {
          out << fmt::format("  ~ stall {} us -> {} us\n", o.stall_us, c.stall_us);
        } else {
          out << fmt::format("  ~ {} -> {} ({})\n", describe(o), hex_value(c.value, c.width),
                             changed_bits(o.value, c.value, o.width));
        }
        break;
      }
      case DiffMark::Kind::Removed:
        heading(old_lines[*m.old_index]);
        out << "  - " << describe(old_lines[*m.old_index]) << '\n';
        break;
      case DiffMark::Kind::Added:
        heading(new_lines[*m.new_index]);
        out << "  + " << describe(new_lines[*m.new_index]) << '\n';
        break;
    }
  }
  return marks.empty();
}

}  // namespace sim
