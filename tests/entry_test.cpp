// SbPeiEntry: private data, configuration HOB, hook points and the PPIs in their order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "pi/ppi/reset.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "sb_pei/sb_pei.h"
#include "sim/arena.h"
#include "sim/guid_names.h"
#include "sim/pei_boot.h"
#include "sim/pei_core.h"
#include "sim/platform_hook.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using sim::PeiService;

namespace {

class Entry : public ::testing::Test {
 protected:
  // Runs the entry with the platform hook `fn` (or no platform hook at all).
  EFI_STATUS Run(sim::PlatformHook::Fn fn = [](UINT32, SB_CONFIG &) {}, bool with_hook = true) {
    if (with_hook) hook_.emplace(core_, std::move(fn));
    return core_.run(SbPeiEntry);
  }
  std::vector<std::string> PpiNames() const {
    std::vector<std::string> names;
    for (const EFI_PEI_PPI_DESCRIPTOR *d : core_.ppis()) names.push_back(sim::guid_name(*d->Guid));
    return names;
  }
  SB_CONFIG *Config() const {
    EFI_HOB_GUID_TYPE *h = core_.find_guid_hob(gSbConfigHobGuid);
    return h != nullptr ? &reinterpret_cast<SB_CONFIG_HOB *>(h)->Config : nullptr;
  }
  std::vector<std::string> Details(PeiService s) const {
    std::vector<std::string> out;
    for (const sim::PeiCall &c : core_.calls())
      if (c.service == s) out.push_back(c.detail);
    return out;
  }

  Entry() { hw_.machine.set_watchdog(10'000'000'000); }
  sim::BoardHardware hw_;
  sim::Machine &machine_ = hw_.machine;
  sim::PeiCore core_{machine_};
  std::optional<sim::PlatformHook> hook_;
};

TEST_F(Entry, InstallsItsPpisInOrderAndReturnsTheLastStatus) {
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_THAT(PpiNames(), ElementsAre("SB_PLATFORM_HOOK_PPI", "SB_PRIVATE_PPI", "EFI_PEI_RESET_PPI",
                                      "EFI_PEI_STALL_PPI", "EFI_PEI_SMBUS_PPI", "EFI_PEI_SMBUS_PPI",
                                      "SB_INIT_DONE_PPI"));
  // One PPI per list, but for the two SMBus instances, which share one list.
  for (const EFI_PEI_PPI_DESCRIPTOR *d : core_.ppis()) {
    const bool first_smbus = d == core_.ppis()[4];
    EXPECT_EQ(d->Flags, EFI_PEI_PPI_DESCRIPTOR_PPI | (first_smbus ? 0 : EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST));
  }
  EXPECT_EQ(core_.locate(gSbInitDonePpiGuid), nullptr);  // the init-done PPI has no interface
  EXPECT_TRUE(core_.unexpected_calls().empty());
}

TEST_F(Entry, EveryLocateAsksForInstanceZeroWithoutDescriptor) {
  Run();
  EXPECT_THAT(Details(PeiService::LocatePpi),
              ElementsAre("SB_PLATFORM_HOOK_PPI instance 0", "EFI_PEI_RESET_PPI instance 0",
                          "EFI_PEI_STALL_PPI instance 0", "SB_PRIVATE_PPI instance 0"));
  EXPECT_THAT(Details(PeiService::AllocatePool),
              ElementsAre(std::to_string(sizeof(SB_PRIVATE_DATA)) + " bytes",
                          std::to_string(sizeof(EFI_PEI_PPI_DESCRIPTOR)) + " bytes",
                          std::to_string(2 * (sizeof(EFI_PEI_SMBUS_PPI) + 4 * sizeof(void *))) + " bytes",  // two records
                          std::to_string(2 * sizeof(EFI_PEI_PPI_DESCRIPTOR)) + " bytes"));
  EXPECT_THAT(Details(PeiService::CreateHob), ElementsAre("type 4 length 408"));
}

TEST_F(Entry, PrivateDataAndItsPpi) {
  Run();
  auto *ppi = static_cast<SB_PRIVATE_PPI *>(core_.locate(gSbPrivatePpiGuid));
  ASSERT_NE(ppi, nullptr);
  UINT32 signature;
  std::memcpy(&signature, reinterpret_cast<UINT8 *>(ppi) - 4, 4);  // four bytes before the interface
  EXPECT_EQ(signature, 0x45504253u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<UINT8 *>(ppi) - 4, "SBPE", 4), 0);
  EXPECT_EQ(ppi->Reserved, 0u);
  EXPECT_EQ(ppi->Version, 0x1112u);
  // Copies: the members are only 4-aligned on the host, too little to bind a reference to.
  const SB_GET_SLEEP_BOOT_MODE get_sleep_boot_mode = ppi->GetSleepBootMode;
  SB_CONFIG *const config = ppi->Config;
  EXPECT_NE(get_sleep_boot_mode, nullptr);
  EXPECT_EQ(config, Config());
  auto *data = reinterpret_cast<SB_PRIVATE_DATA *>(reinterpret_cast<UINT8 *>(ppi) - offsetof(SB_PRIVATE_DATA, Reserved));
  EXPECT_EQ(data->Signature, kSbPrivateSignature);
}

TEST_F(Entry, HobHoldsDefaultsWhenNoPlatformHookIsFound) {
  Run({}, /*with_hook=*/false);
  SB_CONFIG *c = Config();
  ASSERT_NE(c, nullptr);
  EFI_HOB_GUID_TYPE *h = core_.find_guid_hob(gSbConfigHobGuid);
  EXPECT_EQ(h->Header.HobLength, 408);
  SB_CONFIG expected{};
  expected.PeiServices = static_cast<UINT32>(reinterpret_cast<UINTN>(core_.services()));
  expected.AcpiPm1EvtBlk = 0x800;
  expected.AcpiPm1CntBlk = 0x804;
  expected.AcpiPmTmrBlk = 0x808;
  expected.AcpiCpuCntBlk = 0x810;
  expected.AcpiGpe0Blk = 0x820;
  expected.MiscOptions = 0x10;  // mode 0 resolved to 1 by the early programming (misc 0x80 bit 2 clear)
  EXPECT_EQ(std::memcmp(c, &expected, sizeof expected), 0);
  EXPECT_THAT(PpiNames(), ElementsAre("SB_PRIVATE_PPI", "EFI_PEI_RESET_PPI", "EFI_PEI_STALL_PPI", "EFI_PEI_SMBUS_PPI",
                                      "EFI_PEI_SMBUS_PPI", "SB_INIT_DONE_PPI"));
}

TEST_F(Entry, HookPointsSeeTheBlockInOrder) {
  std::vector<UINT16> pm1_seen;
  Run([&](UINT32 point, SB_CONFIG &c) {
    pm1_seen.push_back(c.AcpiPm1CntBlk);
    if (point == SbHookAfterDefaults) c.AcpiPm1CntBlk = 0x1804;
  });
  ASSERT_EQ(hook_->calls().size(), 3u);
  const auto &calls = hook_->calls();
  EXPECT_EQ(calls[0].hook_point, 0x100u);
  EXPECT_EQ(calls[1].hook_point, 0x200u);
  EXPECT_EQ(calls[2].hook_point, 0x201u);
  for (const auto &c : calls) {
    EXPECT_EQ(c.reserved, 0u);
    EXPECT_EQ(c.config, Config());
  }
  // Nothing of ours is installed at the first point; the private PPI is before the second;
  // no service PPI before the third.
  EXPECT_EQ(calls[0].ppi_count, 1u);
  EXPECT_EQ(calls[1].ppi_count, 2u);
  EXPECT_EQ(calls[2].ppi_count, 2u);
  EXPECT_THAT(pm1_seen, ElementsAre(0x804, 0x1804, 0x1804));
  EXPECT_EQ(Config()->PlatformHook, static_cast<UINT32>(reinterpret_cast<UINTN>(hook_->function())));
}

struct OptionalCase {
  const char *name;
  UINT32 set_at;    // hook point that sets SbFlags bit 1 (0: none)
  UINT32 clear_at;  // hook point that clears it (0: none)
  bool installed;
};

class OptionalPpi : public Entry, public ::testing::WithParamInterface<OptionalCase> {};

TEST_P(OptionalPpi, DecidedAfterTheLastHookPoint) {
  const OptionalCase p = GetParam();
  Run([&](UINT32 point, SB_CONFIG &c) {
    if (point == p.set_at) c.SbFlags |= kSbFlagInstallOptionalPpi;
    if (point == p.clear_at) c.SbFlags &= ~kSbFlagInstallOptionalPpi;
  });
  const auto names = PpiNames();
  const bool present = std::find(names.begin(), names.end(), "SB_OPTIONAL_PPI") != names.end();
  EXPECT_EQ(present, p.installed);
  if (present) {
    EXPECT_EQ(names[2], "SB_OPTIONAL_PPI");  // right after the private PPI, before reset
    const auto *words = static_cast<const UINT32 *>(core_.locate(gSbOptionalPpiGuid));
    EXPECT_THAT(std::vector<UINT32>(words, words + 4), ElementsAre(0u, 0u, 0u, 0xFFFFFFFFu));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Flags, OptionalPpi,
    ::testing::Values(OptionalCase{"never", 0, 0, false}, OptionalCase{"at_0x100", 0x100, 0, true},
                      OptionalCase{"at_0x200", 0x200, 0, true}, OptionalCase{"at_0x201", 0x201, 0, true},
                      OptionalCase{"set_then_cleared_at_0x201", 0x100, 0x201, false},
                      OptionalCase{"cleared_at_0x200_set_again_at_0x201", 0x201, 0x200, true}),
    [](const auto &info) { return std::string(info.param.name); });

EFI_STATUS EFIAPI OtherReset(const EFI_PEI_SERVICES **) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI OtherStall(const EFI_PEI_SERVICES **, const EFI_PEI_STALL_PPI *, UINTN) { return EFI_SUCCESS; }

struct PrecedenceCase {
  const char *name;
  bool other_reset, other_stall;
};

class Precedence : public Entry, public ::testing::WithParamInterface<PrecedenceCase> {};

TEST_P(Precedence, ResetAndStallOfAnotherModuleWinIndependently) {
  const PrecedenceCase p = GetParam();
  EFI_PEI_RESET_PPI other_reset{OtherReset};
  EFI_PEI_STALL_PPI other_stall{1, OtherStall};
  if (p.other_reset) core_.install_ppi(gEfiPeiResetPpiGuid, &other_reset);
  if (p.other_stall) core_.install_ppi(gEfiPeiStallPpiGuid, &other_stall);
  Run();
  auto count = [&](const char *n) {
    const auto names = PpiNames();
    return std::count(names.begin(), names.end(), n);
  };
  EXPECT_EQ(count("EFI_PEI_RESET_PPI"), 1);
  EXPECT_EQ(count("EFI_PEI_STALL_PPI"), 1);
  EXPECT_EQ(core_.locate(gEfiPeiResetPpiGuid) == &other_reset, p.other_reset);
  EXPECT_EQ(core_.locate(gEfiPeiStallPpiGuid) == &other_stall, p.other_stall);
}

INSTANTIATE_TEST_SUITE_P(Others, Precedence,
                         ::testing::Values(PrecedenceCase{"none", false, false}, PrecedenceCase{"reset", true, false},
                                           PrecedenceCase{"stall", false, true}, PrecedenceCase{"both", true, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Entry, LocateErrorOtherThanNotFoundLeavesThePpiOut) {
  // LocatePpi calls: 1 platform hook, 2 reset, 3 stall.
  core_.fail_call(PeiService::LocatePpi, 2, EFI_DEVICE_ERROR);
  Run();
  EXPECT_THAT(PpiNames(), ElementsAre("SB_PLATFORM_HOOK_PPI", "SB_PRIVATE_PPI", "EFI_PEI_STALL_PPI",
                                      "EFI_PEI_SMBUS_PPI", "EFI_PEI_SMBUS_PPI", "SB_INIT_DONE_PPI"));
}

TEST_F(Entry, PlatformHookThatCannotBeLocatedIsNeverCalled) {
  core_.fail_call(PeiService::LocatePpi, 1, EFI_NOT_FOUND);
  Run([](UINT32, SB_CONFIG &c) { c.MiscOptions = 0xFFFFFFFF; });
  EXPECT_TRUE(hook_->calls().empty());
  EXPECT_EQ(Config()->PlatformHook, 0u);
  EXPECT_EQ(Config()->MiscOptions, 0x10u);  // the hook's 0xFFFFFFFF never arrived
}

TEST_F(Entry, ReturnsTheStatusOfTheFinalInstallOnly) {
  // InstallPpi calls: 1 private, 2 reset, 3 stall, 4 SMBus, 5 init-done.
  core_.fail_call(PeiService::InstallPpi, 2, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Run(), EFI_SUCCESS);
}

TEST_F(Entry, ReturnsAFailingFinalInstall) {
  core_.fail_call(PeiService::InstallPpi, 5, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Run(), EFI_OUT_OF_RESOURCES);
}

struct AllocationCase {
  const char *name;
  PeiService service;
  unsigned nth;
  std::size_t hook_calls;  // hook calls made before the failure stopped the entry
};

class AllocationFailure : public Entry, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(AllocationFailure, ReturnsTheErrorAtOnce) {
  const AllocationCase p = GetParam();
  core_.fail_call(p.service, p.nth, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Run(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(hook_->calls().size(), p.hook_calls);
  EXPECT_THAT(PpiNames(), ElementsAre("SB_PLATFORM_HOOK_PPI"));
  EXPECT_EQ(core_.call_count(PeiService::InstallPpi), 0u);
  EXPECT_TRUE(machine_.trace().entries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Injected, AllocationFailure,
    ::testing::Values(AllocationCase{"private_data_pool", PeiService::AllocatePool, 1, 0},
                      AllocationCase{"configuration_hob", PeiService::CreateHob, 1, 0},
                      AllocationCase{"private_descriptor_pool", PeiService::AllocatePool, 2, 1}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Entry, ConfigHobIsTheBlockNotACopy) {
  SB_CONFIG *seen = nullptr;
  Run([&](UINT32 point, SB_CONFIG &c) {
    seen = &c;
    if (point == SbHookAfterInit) c.UsbResetMask = 0x2A;
  });
  EXPECT_EQ(seen, Config());
  EXPECT_EQ(Config()->UsbResetMask, 0x2A);
}

}  // namespace
