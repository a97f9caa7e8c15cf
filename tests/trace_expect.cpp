#include "trace_expect.h"

#include <fmt/format.h>

namespace test {
namespace {

const char *verb(sim::Op op) {
  switch (op) {
    case sim::Op::In: return "in ";
    case sim::Op::Out: return "out";
    case sim::Op::Rd: return "rd ";
    case sim::Op::Wr: return "wr ";
  }
  return "?";
}

bool matches(const sim::Access &a, const Expected &e) {
  if (e.stall_us) {
    if (a.addr != kStallMarker) return false;
    const std::uint32_t passed_before_last = static_cast<std::uint32_t>(std::stoul(a.reg));
    return passed_before_last <= *e.stall_us && *e.stall_us < a.value;
  }
  return a.op == e.op && a.addr == e.addr && a.width == e.width && (!e.value || *e.value == a.value);
}

std::uint32_t passed_us(std::uint32_t ticks) { return (ticks * 28u) / 100u; }

}  // namespace

std::vector<sim::Access> CollapseStalls(const std::vector<sim::Access> &trace, std::uint16_t timer_port) {
  std::vector<sim::Access> out;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const sim::Access &a = trace[i];
    const bool port_read = a.op == sim::Op::Rd && a.addr == 0xFED80364 && a.width == 16 && a.value == timer_port;
    std::size_t polls = 0;
    while (port_read && i + 1 + polls < trace.size() && trace[i + 1 + polls].op == sim::Op::In &&
           trace[i + 1 + polls].addr == timer_port && trace[i + 1 + polls].width == 32)
      ++polls;
    if (polls < 2) {
      out.push_back(a);
      continue;
    }
    const std::uint32_t start = trace[i + 1].value;
    const std::uint32_t last = trace[i + polls].value - start;
    const std::uint32_t before = trace[i + polls - 1].value - start;
    sim::Access m{a.t_ns, sim::Op::In, kStallMarker, 32, passed_us(last), std::to_string(passed_us(before)), nullptr};
    out.push_back(m);
    i += polls;
  }
  return out;
}

std::string describe(const sim::Access &a) {
  if (a.addr == kStallMarker) return fmt::format("stall: {} us at the last poll, {} us before", a.value, a.reg);
  return fmt::format("{} {:#x} /{} = {:#x}{}{}", verb(a.op), a.addr, a.width, a.value, a.reg.empty() ? "" : "  ", a.reg);
}

std::string describe(const Expected &e) {
  if (e.stall_us) return fmt::format("stall of {} us", *e.stall_us);
  return fmt::format("{} {:#x} /{} = {}", verb(e.op), e.addr, e.width, e.value ? fmt::format("{:#x}", *e.value) : "*");
}

::testing::AssertionResult TraceIs(const std::vector<sim::Access> &actual, const std::vector<Expected> &expected) {
  const std::size_t n = std::max(actual.size(), expected.size());
  for (std::size_t i = 0; i < n; ++i) {
    const bool have_a = i < actual.size(), have_e = i < expected.size();
    if (have_a && have_e && matches(actual[i], expected[i])) continue;
    std::string msg = fmt::format("access #{}: expected {}, got {}\n", i + 1,
                                  have_e ? describe(expected[i]) : "nothing more",
                                  have_a ? describe(actual[i]) : "nothing more");
    const std::size_t from = i >= 3 ? i - 3 : 0;
    msg += "  around it (actual | expected):\n";
    for (std::size_t j = from; j < std::min(n, i + 4); ++j) {
      msg += fmt::format("  {}{:>4}  {:<48} | {}\n", j == i ? '>' : ' ', j + 1,
                         j < actual.size() ? describe(actual[j]) : "-", j < expected.size() ? describe(expected[j]) : "-");
    }
    msg += fmt::format("  ({} accesses made, {} expected)", actual.size(), expected.size());
    return ::testing::AssertionFailure() << msg;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace test
