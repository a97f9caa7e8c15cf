// Boot mode from the ACPI sleep type.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "sb_pei/sb_pei.h"
#include "sim/services/platform_hook.h"
#include "engines.h"

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

// The module run through its entry on an engine; then its private PPI's reader and what
// the detection left.
class BootModeEntryTest : public BoardTest {
 protected:
  EFI_STATUS Run(sim::PlatformHook::Fn fn = {}) {
    sim::PlatformHook hook(core_, std::move(fn));
    const EFI_STATUS st = RunEntry();
    if (const EFI_HOB_GUID_TYPE *h = core_.find_guid_hob(gSbConfigHobGuid))
      flags_ = reinterpret_cast<const SB_CONFIG_HOB *>(h)->Config.SbFlags;
    return st;
  }
  UINT8 flags_ = 0;
};

struct SleepCase {
  const char *name;
  UINT16 pm1_control;
  EFI_BOOT_MODE expected;
};

using SleepTypes = test::OnEngine<BootModeEntryTest, SleepCase>;

TEST_P(SleepTypes, MapToBootModes) {
  const SleepCase c = Param();
  sb().pm.set(0x62, 16, kPm1Port);
  sb().acpi.set_pm1_control(c.pm1_control);
  ASSERT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(core_.boot_mode(), c.expected);
  clear_trace();
  EXPECT_EQ(module_->get_sleep_boot_mode(), c.expected);
  // PM 0x62, then 0x63, through the CPU I/O PPI, then the PM1 control register itself.
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCD6, 8, 0x62), In(0xCD7, 8, 0x04), Out(0xCD6, 8, 0x63), In(0xCD7, 8, 0x08),
                                In(kPm1Port, 16, c.pm1_control)}));
  for (const sim::Access &a : trace()) EXPECT_STREQ(a.via, "CpuIo");
  EXPECT_EQ(module_->get_sleep_boot_mode(), c.expected);  // reads only, so the same again
}

INSTANTIATE_TEST_SUITE_P(
    AllSlpTyp, SleepTypes,
    test::OnEngines<SleepCase>({{"s0", 0 << 10, BOOT_WITH_FULL_CONFIGURATION},
                                {"s1", 1 << 10, BOOT_WITH_FULL_CONFIGURATION},
                                {"s2", 2 << 10, BOOT_WITH_FULL_CONFIGURATION},
                                {"s3", 3 << 10, BOOT_ON_S3_RESUME},
                                {"s4", 4 << 10, BOOT_ON_S4_RESUME},
                                {"s5", 5 << 10, BOOT_ON_S5_RESUME},
                                {"slp_typ_6", 6 << 10, BOOT_WITH_FULL_CONFIGURATION},
                                {"slp_typ_7", 7 << 10, BOOT_WITH_FULL_CONFIGURATION},
                                // the other bits do not count
                                {"s3_with_other_bits", (3 << 10) | 0x2001, BOOT_ON_S3_RESUME},
                                {"s0_with_other_bits", 0xE3FF, BOOT_WITH_FULL_CONFIGURATION}}),
    test::EngineNames());

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

using Detect = test::OnEngine<BootModeEntryTest, DetectCase>;

TEST_P(Detect, SetsTheModeUnlessRecoveryOrFlashUpdate) {
  const DetectCase c = Param();
  core_.set_boot_mode(c.before);
  sb().pm.set(0x62, 16, kPm1Port);
  sb().acpi.set_sleep_type(c.slp_typ);
  EXPECT_EQ(Run([](UINT32 point, SB_CONFIG &config) {
              if (point == SbHookAfterDefaults) config.SbFlags = 0x80;  // before the detection
            }),
            EFI_SUCCESS);
  EXPECT_EQ(core_.boot_mode(), c.after);
  EXPECT_EQ(flags_ & 0x81, c.s3_flag ? 0x81 : 0x80);
  const bool kept = c.before == BOOT_IN_RECOVERY_MODE || c.before == BOOT_ON_FLASH_UPDATE;
  EXPECT_EQ(core_.call_count(sim::PeiService::SetBootMode), kept ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Detect,
    test::OnEngines<DetectCase>({DetectCase{"power_on", BOOT_WITH_FULL_CONFIGURATION, 0, BOOT_WITH_FULL_CONFIGURATION, false},
                      DetectCase{"s3", BOOT_WITH_FULL_CONFIGURATION, 3, BOOT_ON_S3_RESUME, true},
                      DetectCase{"s4", BOOT_WITH_FULL_CONFIGURATION, 4, BOOT_ON_S4_RESUME, false},
                      DetectCase{"s5", BOOT_WITH_FULL_CONFIGURATION, 5, BOOT_ON_S5_RESUME, false},
                      DetectCase{"other_mode_replaced", BOOT_WITH_MINIMAL_CONFIGURATION, 0,
                                 BOOT_WITH_FULL_CONFIGURATION, false},
                      DetectCase{"recovery_kept_on_s3", BOOT_IN_RECOVERY_MODE, 3, BOOT_IN_RECOVERY_MODE, true},
                      DetectCase{"flash_update_kept_on_s3", BOOT_ON_FLASH_UPDATE, 3, BOOT_ON_FLASH_UPDATE, true},
                      DetectCase{"recovery_kept", BOOT_IN_RECOVERY_MODE, 0, BOOT_IN_RECOVERY_MODE, false},
                      DetectCase{"s3_mode_left_by_earlier_module_replaced", BOOT_ON_S3_RESUME, 0,
                                 BOOT_WITH_FULL_CONFIGURATION, false}}),
    test::EngineNames());

TEST_F(BootMode, S3FlagIsOnlyEverSet) {
  config_.SbFlags = 0x01;  // set by the platform before detection
  sb().acpi.set_sleep_type(0);
  RunDetect();
  EXPECT_EQ(config_.SbFlags, 0x01);
}

using BootModeEntry = test::OnEngine<BootModeEntryTest>;
INSTANTIATE_TEST_SUITE_P(Engines, BootModeEntry, ::testing::ValuesIn(test::Engines()), test::EngineNames());

TEST_P(BootModeEntry, PublishesTheReaderAndTheHookSeesTheFinalMode) {
  sb().pm.set(0x62, 16, kPm1Port);
  sb().acpi.set_sleep_type(3);
  sim::PlatformHook hook(core_, {});
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  ASSERT_EQ(hook.calls().size(), 3u);
  EXPECT_EQ(hook.calls()[0].boot_mode, BOOT_WITH_FULL_CONFIGURATION);
  EXPECT_EQ(hook.calls()[1].boot_mode, BOOT_ON_S3_RESUME);
  EXPECT_EQ(module_->get_sleep_boot_mode(), BOOT_ON_S3_RESUME);
  // Bit 0 and nothing else: the platform asked for no other flag (the optional PPI's bit 1 among them).
  EXPECT_EQ(hook.calls()[1].config->SbFlags, 0x01);
}

}  // namespace
