// The reset and stall services that SbPei publishes.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/stall.h"
#include "sb_pei/sb_pei.h"

using namespace test;

namespace {

class ResetStallPpi : public BoardTest {
 protected:
  ResetStallPpi() {
    sb().pm.set(0x64, 16, 0x0808);
    EXPECT_EQ(core_.run(SbPeiEntry), EFI_SUCCESS);
    reset_ = static_cast<EFI_PEI_RESET_PPI *>(core_.locate(gEfiPeiResetPpiGuid));
    stall_ = static_cast<EFI_PEI_STALL_PPI *>(core_.locate(gEfiPeiStallPpiGuid));
    clear_trace();
  }
  EFI_PEI_RESET_PPI *reset_ = nullptr;
  EFI_PEI_STALL_PPI *stall_ = nullptr;
};

TEST_F(ResetStallPpi, ResetWritesSixToCf9ThroughCpuIoAndNeverReturns) {
  ASSERT_NE(reset_, nullptr);
  EXPECT_THROW(reset_->ResetSystem(ps()), sim::ResetSignal);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF9, 8, 0x06)}));
  EXPECT_STREQ(trace().front().via, "CpuIo");
  EXPECT_EQ(sb().reset.resets(), std::vector<std::uint8_t>{0x06});
}

TEST_F(ResetStallPpi, AResetThatDoesNotHappenLeavesTheCallerSpinningWithoutRetry) {
  sb().reset.ignore_resets(true);
  machine().set_watchdog(1'000'000);
  EXPECT_THROW(reset_->ResetSystem(ps()), sim::Hang);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF9, 8, 0x06)}));  // one write, no second attempt
}

TEST_F(ResetStallPpi, StallHasMicrosecondResolutionAndWaits) {
  ASSERT_NE(stall_, nullptr);
  EXPECT_EQ(stall_->Resolution, 1u);
  const std::uint64_t start = machine().now_ns();
  EXPECT_EQ(stall_->Stall(ps(), stall_, 0), EFI_SUCCESS);
  EXPECT_GE(machine().now_ns() - start, 1100u);  // at least 4 ticks of the PM timer
  const std::uint64_t mid = machine().now_ns();
  EXPECT_EQ(stall_->Stall(ps(), stall_, 4000), EFI_SUCCESS);
  EXPECT_GE(machine().now_ns() - mid, 3'990'000u);
  EXPECT_LE(machine().now_ns() - mid, 4'010'000u);
}

TEST_F(ResetStallPpi, StallBeyondThirtyTwoBitsIsWaitedInFull) {
  machine().costs().io_ns = 500'000'000;  // half a second per poll keeps this short
  machine().trace().set_enabled(false);
  const std::uint64_t us = 0x100000000ull + 5'000'000;
  machine().set_watchdog(us * 1000 * 2);
  const std::uint64_t start = machine().now_ns();
  EXPECT_EQ(stall_->Stall(ps(), stall_, static_cast<UINTN>(us)), EFI_SUCCESS);
  EXPECT_GE(machine().now_ns() - start, static_cast<std::uint64_t>(us * 997));
}

}  // namespace
