// The reset and stall services that SbPei publishes.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/stall.h"
#include "sb_pei/sb_pei.h"
#include "sim/services/board_ppis.h"
#include "engines.h"

#include <cstring>

using namespace test;

namespace {

class ResetStallPpiTest : public BoardTest {
 protected:
  void SetUp() override {
    sb().pm.set(0x64, 16, 0x0808);
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    clear_trace();
  }
};
using ResetStallPpi = test::OnEngine<ResetStallPpiTest>;
INSTANTIATE_TEST_SUITE_P(Engines, ResetStallPpi, ::testing::ValuesIn(test::Engines()), test::EngineNames());

TEST_P(ResetStallPpi, ResetWritesSixToCf9ThroughCpuIoAndNeverReturns) {
  ASSERT_NE(core_.locate(gEfiPeiResetPpiGuid), nullptr);
  EXPECT_THROW(module_->reset_system(), sim::ResetSignal);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF9, 8, 0x06)}));
  EXPECT_STREQ(trace().front().via, "CpuIo");
  EXPECT_EQ(sb().reset.resets(), std::vector<std::uint8_t>{0x06});
}

TEST_P(ResetStallPpi, AResetThatDoesNotHappenLeavesTheCallerSpinningWithoutRetry) {
  sb().reset.ignore_resets(true);
  machine().set_watchdog(1'000'000);
  EXPECT_THROW(module_->reset_system(), sim::Hang);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF9, 8, 0x06)}));  // one write, no second attempt
}

TEST_P(ResetStallPpi, StallHasMicrosecondResolutionAndWaits) {
  const void *stall = core_.locate(gEfiPeiStallPpiGuid);
  ASSERT_NE(stall, nullptr);
  std::uint64_t resolution = 0;  // the first member, a UINTN
  std::memcpy(&resolution, stall, module_->word_size());
  EXPECT_EQ(resolution, 1u);
  const std::uint64_t start = machine().now_ns();
  EXPECT_EQ(module_->stall(0), EFI_SUCCESS);
  EXPECT_GE(machine().now_ns() - start, 1100u);  // at least 4 ticks of the PM timer
  const std::uint64_t mid = machine().now_ns();
  EXPECT_EQ(module_->stall(4000), EFI_SUCCESS);
  EXPECT_GE(machine().now_ns() - mid, 3'990'000u);
  EXPECT_LE(machine().now_ns() - mid, 4'010'000u);
}

// A timer that does not count, through the stall PPI on both engines: after 1,024 readings that
// stand still the delay finishes on port 0x80.
struct DeadTimerCase {
  const char *name;
  bool counts_first;  // counts for 50 us, then stops
  std::uint32_t value;
};
using DeadTimerStall = test::OnEngine<ResetStallPpiTest, DeadTimerCase>;

TEST_P(DeadTimerStall, FinishesOnPort80) {
  const DeadTimerCase c = Param();
  if (c.counts_first) {
    sb().acpi.stop_timer_at(machine().now_ns() + 50'000);
  } else {
    sb().acpi.set_timer(c.value);
    sb().acpi.freeze_timer(true);
  }
  machine().set_watchdog(100'000'000);
  EXPECT_EQ(module_->stall(400), EFI_SUCCESS);
  std::vector<std::uint32_t> readings;
  std::size_t port80_reads = 0;
  for (const sim::Access &a : trace()) {
    if (a.op == sim::Op::In && a.addr == 0x0808) readings.push_back(a.value);
    port80_reads += a.op == sim::Op::In && a.addr == 0x80;
  }
  ASSERT_GT(readings.size(), 1024u);
  EXPECT_EQ(readings.back(), readings[readings.size() - 1025]);  // 1,024 polls that stand still
  const std::uint32_t passed = ((readings.back() - readings.front()) * 28) / 100;
  EXPECT_EQ(port80_reads, (400 - passed) / 2);  // the rest of the 400 us, 2 us a read
  EXPECT_EQ(trace().size(), 1 + readings.size() + port80_reads);  // and the timer port's register
  if (!c.counts_first) {
    EXPECT_EQ(readings.size(), 1025u);
  }
}

INSTANTIATE_TEST_SUITE_P(Timers, DeadTimerStall,
                         test::OnEngines<DeadTimerCase>({DeadTimerCase{"never_counts", false, 0x12345678},
                                                         DeadTimerCase{"stops_mid_delay", true, 0},
                                                         DeadTimerCase{"reads_all_ones", false, 0xFFFFFFFF}}),
                         test::EngineNames());

// UINTN has 64 bits only in a 64-bit build.
using StallOnHost = ResetStallPpiTest;

TEST_F(StallOnHost, StallBeyondThirtyTwoBitsIsWaitedInFull) {
  machine().costs().io_ns = 500'000'000;  // half a second per poll keeps this short
  machine().trace().set_enabled(false);
  // Just past 32 bits, and the first count that does not fit in them.
  for (const std::uint64_t us : {0x100000000ull + 5'000'000, 0x100000000ull}) {
    machine().set_watchdog(us * 1000 * 2);  // from now
    const std::uint64_t start = machine().now_ns();
    EXPECT_EQ(module_->stall(static_cast<UINTN>(us)), EFI_SUCCESS);
    EXPECT_GE(machine().now_ns() - start, static_cast<std::uint64_t>(us * 997)) << us;
  }
}

}  // namespace

namespace {

// Another module's reset and stall PPIs, as the board installs them before SbPei: they reset
// and wait as that module's would, never returning at once as a stub does.
class BoardPpis : public test::BoardTest {};

TEST_F(BoardPpis, TheBoardsResetWritesACf9ResetAndTheBoardsStallWaitsItsTime) {
  EXPECT_THROW(sim::board_reset_system(machine()), sim::ResetSignal);
  ASSERT_EQ(trace().size(), 1u);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF9, 8, 0x06)}));
  EXPECT_STREQ(trace().front().module, sim::kBoardModule);
  EXPECT_EQ(sb().reset.resets(), std::vector<std::uint8_t>{0x06});

  sb().reset.ignore_resets(true);  // a board that ignores it: a clear status, not a hang
  EXPECT_EQ(sim::board_reset_system(machine()), EFI_DEVICE_ERROR);

  for (const std::uint64_t us : {0ull, 1ull, 100ull, 4'000'000ull}) {
    const std::uint64_t start = machine().now_ns();
    sim::board_stall(machine(), us);
    EXPECT_EQ(machine().now_ns() - start, us * 1000) << us;
  }
  const std::uint64_t start = machine().now_ns();
  machine().set_watchdog(0);
  sim::board_stall(machine(), ~0ull);  // the longest wait the clock can take, not a wrapped one
  EXPECT_EQ(machine().now_ns() - start, (~0ull / 1000) * 1000);
}

}  // namespace
