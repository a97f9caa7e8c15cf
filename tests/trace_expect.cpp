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
  return a.op == e.op && a.addr == e.addr && a.width == e.width && (!e.value || *e.value == a.value);
}

}  // namespace

std::string describe(const sim::Access &a) {
  return fmt::format("{} {:#x} /{} = {:#x}{}{}", verb(a.op), a.addr, a.width, a.value, a.reg.empty() ? "" : "  ", a.reg);
}

std::string describe(const Expected &e) {
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
