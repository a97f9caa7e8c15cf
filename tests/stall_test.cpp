// The microsecond delay on the ACPI PM timer, and its port-0x80 fallback.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "sb_pei/register/stall.h"
#include "sim/machine/faults.h"

using namespace test;

namespace {

constexpr UINT16 kTimerPort = 0x0808;

class Stall : public BoardTest {
 protected:
  Stall() { sb().pm.set(0x64, 16, kTimerPort); }
  // Timer readings made by the last stall, in order.
  std::vector<std::uint32_t> Readings() const {
    std::vector<std::uint32_t> r;
    for (const sim::Access &a : trace())
      if (a.op == sim::Op::In && a.addr == kTimerPort) r.push_back(a.value);
    return r;
  }
};

struct TickCase {
  UINT32 us;
  UINT32 ticks;  // the tick count at which the wait ends
};

class StallTicks : public Stall, public ::testing::WithParamInterface<TickCase> {};

TEST_P(StallTicks, EndsAtTheFirstReadingPastTheRequest) {
  const TickCase c = GetParam();
  machine().costs().io_ns = 100;  // readings closer than one tick, so every count is seen
  sbpei::SbStall(c.us);
  ASSERT_EQ(trace().front().op, sim::Op::Rd);  // the timer port is read from PM 0x64/0x65 first
  EXPECT_EQ(trace().front().addr, 0xFED80364u);
  EXPECT_EQ(trace().front().width, 16u);
  const auto r = Readings();
  ASSERT_GE(r.size(), 2u);  // the timer is always read at least twice
  EXPECT_EQ(r.back() - r.front(), c.ticks);
  EXPECT_LT(r[r.size() - 2] - r.front(), c.ticks);
}

INSTANTIATE_TEST_SUITE_P(Requests, StallTicks,
                         ::testing::Values(TickCase{0, 4}, TickCase{1, 8}, TickCase{2, 11}, TickCase{10, 40},
                                           TickCase{4000, 14290}));

TEST_F(Stall, ATimerThatWrapsStillCountsTrueTicks) {
  machine().costs().io_ns = 100;
  sb().acpi.set_timer(0xFFFFFFF0);
  sbpei::SbStall(10);
  const auto r = Readings();
  EXPECT_GT(r.front(), r.back());  // it did wrap
  EXPECT_EQ(r.back() - r.front(), 40u);
}

struct FallbackCase {
  UINT32 us;
  std::size_t reads;
};

class StallFallback : public Stall, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(StallFallback, ReadsPort80HalfTheMicroseconds) {
  const FallbackCase c = GetParam();
  sb().pm.set(0x64, 16, 0);
  sbpei::SbStall(c.us);
  ASSERT_EQ(trace().size(), 1 + c.reads);
  for (std::size_t i = 1; i < trace().size(); ++i) {
    EXPECT_EQ(trace()[i].op, sim::Op::In);
    EXPECT_EQ(trace()[i].addr, 0x80u);
    EXPECT_EQ(trace()[i].width, 8u);
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, StallFallback,
                         ::testing::Values(FallbackCase{0, 0}, FallbackCase{1, 0}, FallbackCase{2, 1}, FallbackCase{3, 1},
                                           FallbackCase{4000, 2000}));

// Requests the 32-bit arithmetic cannot measure in one go are waited in pieces, in full. The
// bus is made slow so that a wait of minutes takes a few thousand polls.
class LongStall : public Stall, public ::testing::WithParamInterface<UINT32> {};

TEST_P(LongStall, WaitsTheWholeRequest) {
  const UINT32 us = GetParam();
  machine().costs().io_ns = 20'000'000;  // 20 ms per poll
  machine().trace().set_enabled(false);
  machine().set_watchdog(std::uint64_t{us} * 1000 * 2);  // a wait that never ends fails here
  const std::uint64_t start = machine().now_ns();
  ASSERT_NO_THROW(sbpei::SbStall(us));
  const double waited_us = static_cast<double>(machine().now_ns() - start) / 1000.0;
  // A tick is taken as 0.28 us while it lasts 0.2794 us: long waits come out 0.2% short.
  EXPECT_GE(waited_us, us * 0.997);
  EXPECT_LE(waited_us, us * 1.001 + 200'000.0);
}

INSTANTIATE_TEST_SUITE_P(Requests, LongStall, ::testing::Values(42'949'671u, 42'949'672u, 100'000'000u, 0xFFFFFFFFu));

// A timer that does not count: after 1,024 readings that stand still, the rest of the wait
// is made on port 0x80, as when no timer port is set.
enum class DeadTimer { NeverCounts, StopsMidDelay, ReadsAllOnes };
struct DeadTimerCase {
  const char *name;
  DeadTimer kind;
  UINT32 us;
};

class StallOnADeadTimer : public Stall, public ::testing::WithParamInterface<DeadTimerCase> {};

TEST_P(StallOnADeadTimer, FinishesTheRemainingDelayOnPort80) {
  const DeadTimerCase c = GetParam();
  const UINT16 port = kTimerPort;
  switch (c.kind) {
    case DeadTimer::NeverCounts: sb().acpi.freeze_timer(true); break;
    case DeadTimer::StopsMidDelay: sb().acpi.stop_timer_at(machine().now_ns() + 60'000); break;
    case DeadTimer::ReadsAllOnes:  // a block nothing answers for: the bus reads all ones
      sb().acpi.set_timer(0xFFFFFFFF);
      sb().acpi.freeze_timer(true);
      break;
  }
  machine().set_watchdog(100'000'000);  // a wait that never ends fails here
  ASSERT_NO_THROW(sbpei::SbStall(c.us));

  // The timer's readings, then only reads of port 0x80.
  std::vector<std::uint32_t> readings;
  std::size_t i = 1, port80 = 0;
  for (; i < trace().size() && trace()[i].addr == port; ++i) readings.push_back(trace()[i].value);
  for (; i < trace().size(); ++i, ++port80) {
    ASSERT_EQ(trace()[i].addr, 0x80u) << "access " << i;
    ASSERT_EQ(trace()[i].op, sim::Op::In);
  }
  ASSERT_GT(readings.size(), 1024u);
  const auto last = readings.end() - 1;
  for (auto r = last - 1024; r != last; ++r) EXPECT_EQ(*r, *last);  // 1,024 polls unchanged
  if (c.kind == DeadTimer::ReadsAllOnes) {
    EXPECT_EQ(*last, 0xFFFFFFFFu);
  }
  if (c.kind == DeadTimer::StopsMidDelay) {
    EXPECT_GT(*last, readings.front());  // it counted for a while
  } else {
    EXPECT_EQ(readings.size(), 1025u);  // the first reading, then 1,024 that stand still
  }
  const UINT32 passed = ((*last - readings.front()) * 28) / 100;
  EXPECT_EQ(port80, (c.us - passed) / 2);
}

INSTANTIATE_TEST_SUITE_P(Timers, StallOnADeadTimer,
                         ::testing::Values(DeadTimerCase{"NeverCounts", DeadTimer::NeverCounts, 100},
                                           DeadTimerCase{"StopsMidDelay", DeadTimer::StopsMidDelay, 4000},
                                           DeadTimerCase{"ReadsAllOnes", DeadTimer::ReadsAllOnes, 10}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
