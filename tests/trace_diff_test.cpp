// Folding delays and comparing traces: what `sbsim diff` and the golden traces rest on.
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "sim/board/trace_diff.h"

namespace {

using sim::TraceLine;

TraceLine Access(const char *op, std::uint64_t addr, std::uint32_t value, const char *reg, std::uint64_t t_ns = 0,
                 const char *in = "SbPeiEntry/early programming") {
  TraceLine l;
  l.phase = "PEI pass 1";
  l.in = in;
  l.op = op;
  l.addr = addr;
  l.value = value;
  l.reg = reg;
  l.t_ns = t_ns;
  return l;
}

TEST(FoldDelays, RunsOfTimerPollsAndDelayReadsBecomeOneStallEach) {
  const std::vector<TraceLine> raw = {
      Access("rd", 0xFED80364, 0x808, "PM 0x64", 0),
      Access("in", 0x808, 100, "PM_TMR", 1000), Access("in", 0x808, 104, "PM_TMR", 2000),
      Access("in", 0x808, 108, "PM_TMR", 3000),            // three polls: 3 us
      Access("in", 0x80, 0xFF, "", 4000), Access("in", 0x80, 0xFF, "", 5000),  // two delay reads: 2 us
      Access("in", 0x808, 112, "PM_TMR", 6000, "SbPeiEntry/service PPIs"),     // another step: its own stall
      Access("out", 0xCF9, 0x06, "RST_CNT", 7000),
  };
  const auto folded = sim::fold_delays(raw);
  ASSERT_EQ(folded.size(), 5u);
  EXPECT_EQ(folded[0].reg, "PM 0x64");
  EXPECT_EQ(sim::describe(folded[1]), "stall 3 us");
  EXPECT_EQ(sim::describe(folded[2]), "stall 2 us");
  EXPECT_EQ(folded[3].in, "SbPeiEntry/service PPIs");
  EXPECT_EQ(sim::describe(folded[3]), "stall 1 us");
  EXPECT_EQ(folded[4].op, "out");
}

TEST(FoldDelays, AFoldedTraceWrittenAndReadBackIsTheSame) {
  const auto folded = sim::fold_delays({Access("in", 0x808, 1, "PM_TMR", 0), Access("wr", 0xFED80362, 4, "PM 0x62")});
  std::ostringstream text;
  sim::write_folded(text, folded);
  EXPECT_EQ(text.str(),
            "{\"phase\":\"PEI pass 1\",\"in\":\"SbPeiEntry/early programming\",\"op\":\"stall\",\"us\":1}\n"
            "{\"phase\":\"PEI pass 1\",\"in\":\"SbPeiEntry/early programming\",\"op\":\"wr\",\"addr\":4275569506,"
            "\"width\":8,\"value\":4,\"reg\":\"PM 0x62\"}\n");
}

struct DiffCase {
  const char *what;
  std::vector<TraceLine> old_lines, new_lines;
  bool same;
  std::vector<const char *> printed;  // lines the diff must contain
};

class DiffTraces : public testing::TestWithParam<DiffCase> {};

TEST_P(DiffTraces, SaysWhatChanged) {
  const DiffCase &c = GetParam();
  std::ostringstream out;
  EXPECT_EQ(sim::diff_traces(c.old_lines, c.new_lines, out), c.same);
  for (const char *line : c.printed) EXPECT_NE(out.str().find(line), std::string::npos) << line << "\n" << out.str();
  if (c.same) {
    EXPECT_EQ(out.str(), "");
  }
}

TraceLine Stall(std::uint64_t us) {
  TraceLine l = Access("stall", 0, 0, "");
  l.stall_us = us;
  return l;
}

const TraceLine kIndex = Access("out", 0xCD6, 0x62, "PM_INDEX");
const TraceLine kData = Access("in", 0xCD7, 0x04, "PM 0x62");

INSTANTIATE_TEST_SUITE_P(
    Cases, DiffTraces,
    testing::Values(
        DiffCase{"same", {kIndex, kData}, {kIndex, kData}, true, {}},
        DiffCase{"a changed value names the register, the step and the bits",
                 {kIndex, Access("wr", 0xFED80362, 0x04, "PM 0x62")},
                 {kIndex, Access("wr", 0xFED80362, 0x0C, "PM 0x62")},
                 false,
                 {"=== PEI pass 1 > SbPeiEntry/early programming",
                  "~ wr  PM 0x62 [mem 0xFED80362, 8-bit] = 0x04 -> 0x0C (bit 3 0->1)"}},
        DiffCase{"an extra access", {kIndex}, {kIndex, kData}, false, {"+ in  PM 0x62 [port 0xCD7, 8-bit] = 0x04"}},
        DiffCase{"a missing access", {kIndex, kData}, {kIndex}, false, {"- in  PM 0x62 [port 0xCD7, 8-bit] = 0x04"}},
        DiffCase{"a longer delay", {kIndex, Stall(20)}, {kIndex, Stall(40)}, false, {"~ stall 20 us -> 40 us"}},
        DiffCase{"the same access in another step",
                 {kIndex},
                 {Access("out", 0xCD6, 0x62, "PM_INDEX", 0, "SbPeiEntry/service PPIs")},
                 false,
                 {"- out PM_INDEX", "=== PEI pass 1 > SbPeiEntry/service PPIs", "+ out PM_INDEX"}}),
    [](const testing::TestParamInfo<DiffCase> &info) {
      std::string name;
      for (const char *p = info.param.what; *p != '\0'; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

// The marks the report places on a boot's accesses: what changed, what only the new boot has, and
// where a line only the old boot has would have been (after the new boot's lines before it).
TEST(DiffMarks, PlaceEachDifferenceOnTheNewTrace) {
  const std::vector<TraceLine> old_lines = {
      Access("out", 0xCD6, 0x24, "PM_INDEX"), Access("out", 0xCD7, 0x01, "PM 0x24"),
      Access("rd", 0xFED803E0, 0, "PM 0xE0"), Access("wr", 0xFED803E0, 0xD8, "PM 0xE0"),
      Access("out", 0xCF9, 0x06, "RST_CNT")};
  const std::vector<TraceLine> new_lines = {
      Access("out", 0xCD6, 0x24, "PM_INDEX"), Access("out", 0xCD7, 0x41, "PM 0x24"),  // changed
      Access("rd", 0xFED803E0, 0, "PM 0xE0"),                                         // its write removed
      Access("out", 0xCF9, 0x06, "RST_CNT"), Access("out", 0x80, 0x44, "POST")};      // one added at the end
  const auto marks = sim::diff_marks(old_lines, new_lines);
  ASSERT_EQ(marks.size(), 3u);
  EXPECT_EQ(marks[0].kind, sim::DiffMark::Kind::Changed);
  EXPECT_EQ(marks[0].old_index, 1u);
  EXPECT_EQ(marks[0].new_index, 1u);
  ASSERT_TRUE(marks[0].hunk.has_value());
  EXPECT_EQ(marks[0].hunk->after_new, 1u);
  EXPECT_EQ(marks[1].kind, sim::DiffMark::Kind::Removed);
  EXPECT_EQ(marks[1].old_index, 3u);
  ASSERT_TRUE(marks[1].hunk.has_value());
  EXPECT_EQ(marks[1].hunk->after_new, 3u);  // after the new boot's read of PM 0xE0
  EXPECT_EQ(marks[2].kind, sim::DiffMark::Kind::Added);
  EXPECT_EQ(marks[2].new_index, 4u);
  EXPECT_TRUE(sim::diff_marks(old_lines, old_lines).empty());
}

}  // namespace
