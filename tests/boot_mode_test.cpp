// Boot mode from the ACPI sleep type.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "sb_pei/sb_pei.h"
#include "sim/platform_hook.h"

using namespace test;

namespace {

constexpr UINT16 kPm1Port = 0x0804;

class BootMode : public BoardTest {
 protected:
  BootMode() {
    sb().pm.set(0x62, 16, kPm1Port);
    private_.Config = &config_;
  }
  EFI_STATUS RunDetect() { return sbpei::SbDetectBootMode(ps(), &private_); }
  SB_CONFIG config_{};
  SB_PRIVATE_DATA private_{};
};

struct SleepCase {
  UINT16 pm1_control;
  EFI_BOOT_MODE expected;
};

class SleepTypes : public BootMode, public ::testing::WithParamInterface<SleepCase> {};

TEST_P(SleepTypes, MapToBootModes) {
  const SleepCase c = GetParam();
  sb().acpi.set_pm1_control(c.pm1_control);
  EXPECT_EQ(sbpei::SbGetSleepBootMode(ps()), c.expected);
  // PM 0x62, then 0x63, through the CPU I/O PPI, then the PM1 control register itself.
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCD6, 8, 0x62), In(0xCD7, 8, 0x04), Out(0xCD6, 8, 0x63), In(0xCD7, 8, 0x08),
                                In(kPm1Port, 16, c.pm1_control)}));
  for (const sim::Access &a : trace()) EXPECT_STREQ(a.via, "CpuIo");
  EXPECT_EQ(sbpei::SbGetSleepBootMode(ps()), c.expected);  // reads only, so the same again
}

INSTANTIATE_TEST_SUITE_P(
    AllSlpTyp, SleepTypes,
    ::testing::Values(SleepCase{0 << 10, BOOT_WITH_FULL_CONFIGURATION}, SleepCase{1 << 10, BOOT_WITH_FULL_CONFIGURATION},
                      SleepCase{2 << 10, BOOT_WITH_FULL_CONFIGURATION}, SleepCase{3 << 10, BOOT_ON_S3_RESUME},
                      SleepCase{4 << 10, BOOT_ON_S4_RESUME}, SleepCase{5 << 10, BOOT_ON_S5_RESUME},
                      SleepCase{6 << 10, BOOT_WITH_FULL_CONFIGURATION}, SleepCase{7 << 10, BOOT_WITH_FULL_CONFIGURATION},
                      // the other bits do not count
                      SleepCase{(3 << 10) | 0x2001, BOOT_ON_S3_RESUME}, SleepCase{0xE3FF, BOOT_WITH_FULL_CONFIGURATION}));

TEST_F(BootMode, Pm1PortComesFromTheHardwareNotTheBlock) {
  sb().pm.set(0x62, 16, 0x1004);
  sb().acpi.set_sleep_type(3);
  config_.AcpiPm1CntBlk = 0x0804;
  EXPECT_EQ(sbpei::SbGetSleepBootMode(ps()), BOOT_ON_S3_RESUME);
  EXPECT_EQ(trace().back().addr, 0x1004u);
}

struct DetectCase {
  const char *name;
  EFI_BOOT_MODE before;
  unsigned slp_typ;
  EFI_BOOT_MODE after;
  bool s3_flag;
};

class Detect : public BootMode, public ::testing::WithParamInterface<DetectCase> {};

TEST_P(Detect, SetsTheModeUnlessRecoveryOrFlashUpdate) {
  const DetectCase c = GetParam();
  core_.set_boot_mode(c.before);
  sb().acpi.set_sleep_type(c.slp_typ);
  config_.SbFlags = 0x80;
  EXPECT_EQ(RunDetect(), EFI_SUCCESS);
  EXPECT_EQ(core_.boot_mode(), c.after);
  EXPECT_EQ(config_.SbFlags, c.s3_flag ? 0x81 : 0x80);
  const bool kept = c.before == BOOT_IN_RECOVERY_MODE || c.before == BOOT_ON_FLASH_UPDATE;
  EXPECT_EQ(core_.call_count(sim::PeiService::SetBootMode), kept ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Detect,
    ::testing::Values(DetectCase{"power_on", BOOT_WITH_FULL_CONFIGURATION, 0, BOOT_WITH_FULL_CONFIGURATION, false},
                      DetectCase{"s3", BOOT_WITH_FULL_CONFIGURATION, 3, BOOT_ON_S3_RESUME, true},
                      DetectCase{"s4", BOOT_WITH_FULL_CONFIGURATION, 4, BOOT_ON_S4_RESUME, false},
                      DetectCase{"s5", BOOT_WITH_FULL_CONFIGURATION, 5, BOOT_ON_S5_RESUME, false},
                      DetectCase{"other_mode_replaced", BOOT_WITH_MINIMAL_CONFIGURATION, 0,
                                 BOOT_WITH_FULL_CONFIGURATION, false},
                      DetectCase{"recovery_kept_on_s3", BOOT_IN_RECOVERY_MODE, 3, BOOT_IN_RECOVERY_MODE, true},
                      DetectCase{"flash_update_kept_on_s3", BOOT_ON_FLASH_UPDATE, 3, BOOT_ON_FLASH_UPDATE, true},
                      DetectCase{"recovery_kept", BOOT_IN_RECOVERY_MODE, 0, BOOT_IN_RECOVERY_MODE, false},
                      DetectCase{"s3_mode_left_by_earlier_module_replaced", BOOT_ON_S3_RESUME, 0,
                                 BOOT_WITH_FULL_CONFIGURATION, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BootMode, S3FlagIsOnlyEverSet) {
  config_.SbFlags = 0x01;  // set by the platform before detection
  sb().acpi.set_sleep_type(0);
  RunDetect();
  EXPECT_EQ(config_.SbFlags, 0x01);
}

TEST_F(BootMode, EntryPublishesTheReaderAndTheHookSeesTheFinalMode) {
  sb().acpi.set_sleep_type(3);
  sim::RunningCore stop_running(core_);
  sim::PlatformHook hook(core_, {});
  EXPECT_EQ(core_.run(SbPeiEntry), EFI_SUCCESS);
  ASSERT_EQ(hook.calls().size(), 3u);
  EXPECT_EQ(hook.calls()[0].boot_mode, BOOT_WITH_FULL_CONFIGURATION);
  EXPECT_EQ(hook.calls()[1].boot_mode, BOOT_ON_S3_RESUME);
  auto *ppi = static_cast<SB_PRIVATE_PPI *>(core_.locate(gSbPrivatePpiGuid));
  ASSERT_NE(ppi, nullptr);
  const SB_GET_SLEEP_BOOT_MODE get = ppi->GetSleepBootMode;
  const SB_CONFIG *config = ppi->Config;
  EXPECT_EQ(get(ps()), BOOT_ON_S3_RESUME);
  EXPECT_EQ(config->SbFlags & kSbFlagS3Resume, kSbFlagS3Resume);
}

}  // namespace
