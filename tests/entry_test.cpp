// SbPeiEntry: private data, configuration HOB, hook points and the PPIs in their order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "pi/ppi/memory_discovered.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "sb_pei/sb_pei.h"
#include "sim/machine/arena.h"
#include "sim/services/guid_names.h"
#include "sim/board/pei_boot.h"
#include "sim/services/pei_core.h"
#include "sim/services/platform_hook.h"
#include "engines.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using sim::PeiService;

namespace {

class EntryTest : public ::testing::Test {
 protected:
  virtual sim::Engine engine() const = 0;
  // Runs the entry with the platform hook `fn` (or no platform hook at all).
  EFI_STATUS Run(sim::PlatformHook::Fn fn = [](UINT32, SB_CONFIG &) {}, bool with_hook = true) {
    if (with_hook) hook_.emplace(core_, std::move(fn));
    module_ = sim::SbPeiModule::load(engine(), core_);
    return module_->run_entry();
  }
  // A pointer-sized member of the module's structures at `p`.
  std::uint64_t Word(const void *p) const {
    std::uint64_t v = 0;
    std::memcpy(&v, p, module_->word_size());
    return v;
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

  EntryTest() { hw_.machine.set_watchdog(10'000'000'000); }
  sim::BoardHardware hw_;
  sim::Machine &machine_ = hw_.machine;
  sim::PeiCore core_{machine_};
  std::optional<sim::PlatformHook> hook_;
  std::unique_ptr<sim::SbPeiModule> module_;
};

using Entry = test::OnEngine<EntryTest>;
INSTANTIATE_TEST_SUITE_P(Engines, Entry, ::testing::ValuesIn(test::Engines()), test::EngineNames());

TEST_P(Entry, InstallsItsPpisInOrderAndReturnsTheLastStatus) {
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

TEST_P(Entry, EveryLocateAsksForInstanceZeroWithoutDescriptor) {
  Run();
  EXPECT_THAT(Details(PeiService::LocatePpi),
              ElementsAre("SB_PLATFORM_HOOK_PPI instance 0", "EFI_PEI_RESET_PPI instance 0",
                          "EFI_PEI_STALL_PPI instance 0", "SB_PRIVATE_PPI instance 0"));
  // Private data, one descriptor, two SMBus records (four members and four words of their
  // own each), two descriptors: in the module's own word size.
  const std::size_t w = module_->word_size();
  EXPECT_THAT(Details(PeiService::AllocatePool),
              ElementsAre(std::to_string(module_->private_data_size()) + " bytes", std::to_string(3 * w) + " bytes",
                          std::to_string(2 * 8 * w) + " bytes", std::to_string(2 * 3 * w) + " bytes"));
  EXPECT_THAT(Details(PeiService::CreateHob), ElementsAre("type 4 length 408"));
}

TEST_P(Entry, PrivateDataAndItsPpi) {
  Run();
  auto *ppi = static_cast<SB_PRIVATE_PPI *>(core_.locate(gSbPrivatePpiGuid));
  ASSERT_NE(ppi, nullptr);
  UINT32 signature;
  std::memcpy(&signature, reinterpret_cast<UINT8 *>(ppi) - 4, 4);  // four bytes before the interface
  EXPECT_EQ(signature, 0x45504253u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<UINT8 *>(ppi) - 4, "SBPE", 4), 0);
  EXPECT_EQ(ppi->Reserved, 0u);
  EXPECT_EQ(ppi->Version, 0x1112u);
  // The reader, then the block, each a word (4 bytes in the IA32 image, 20 bytes in all).
  const auto *bytes = reinterpret_cast<const UINT8 *>(ppi);
  EXPECT_NE(Word(bytes + 8), 0u);
  EXPECT_EQ(Word(bytes + 8 + module_->word_size()), reinterpret_cast<std::uintptr_t>(Config()));
  EXPECT_EQ(Details(PeiService::AllocatePool).at(0), std::to_string(module_->private_data_size()) + " bytes");
  EXPECT_EQ(module_->get_sleep_boot_mode(), BOOT_WITH_FULL_CONFIGURATION);
}

// When the PEI core moves the HOB list to permanent memory and gives temporary RAM up, the
// private data (moved with the pool) must point at the block where it is now.
TEST_P(Entry, AfterTheSwitchToMemoryThePrivateDataPointsAtTheMovedBlock) {
  Run();
  EXPECT_THAT(Details(PeiService::NotifyPpi), ElementsAre("EFI_PEI_PERMANENT_MEMORY_INSTALLED_PPI"));
  const std::size_t config_at = 8 + module_->word_size();  // in the interface: after the reader
  const auto config_before = Word(static_cast<UINT8 *>(core_.locate(gSbPrivatePpiGuid)) + config_at);
  core_.move_hob_list();
  ASSERT_NE(Config(), nullptr);
  Config()->PeiServices = 0xDEAD0000;  // where the services table lay before the switch
  core_.install_ppi(gEfiPeiMemoryDiscoveredPpiGuid, nullptr);
  const auto *ppi = static_cast<UINT8 *>(core_.locate(gSbPrivatePpiGuid));
  ASSERT_NE(Config(), nullptr);
  EXPECT_EQ(Config()->PeiServices, module_->services_as_seen());  // the table it runs with now
  EXPECT_NE(Word(ppi + config_at), config_before);
  EXPECT_EQ(Word(ppi + config_at), reinterpret_cast<std::uintptr_t>(Config()));
  EXPECT_EQ(Config()->AcpiPmTmrBlk, 0x808);  // the block itself came along
  EXPECT_TRUE(core_.unexpected_calls().empty());
}

// The moved block is found by its whole name and only inside the list: GUID HOBs before it
// whose names differ in the first word or in the last byte are passed over, and a copy of the
// block beyond the end of the list is never taken. A HOB of length 0 ends the walk (it would
// never advance). Where the walk finds no block the private data keeps the old address.
TEST_P(Entry, AfterTheSwitchToMemoryTheBlockIsFoundByItsWholeNameInsideTheList) {
  enum class Twist { None, FirstHobOfLengthZero, BlockOnlyPastTheEnd };
  for (const Twist twist : {Twist::None, Twist::BlockOnlyPastTheEnd, Twist::FirstHobOfLengthZero}) {
    SCOPED_TRACE(static_cast<int>(twist));
    sim::BoardHardware hw;
    hw.machine.set_watchdog(10'000'000'000);
    sim::PeiCore core{hw.machine};
    for (const auto rename : {+[](EFI_GUID &g) { g.Data1 ^= 1; }, +[](EFI_GUID &g) { g.Data4[7] ^= 0x80; }}) {
      VOID *h = nullptr;
      ASSERT_EQ(core.do_create_hob(EFI_HOB_TYPE_GUID_EXTENSION, sizeof(SB_CONFIG_HOB), &h), EFI_SUCCESS);
      auto *decoy = static_cast<EFI_HOB_GUID_TYPE *>(h);
      decoy->Name = gSbConfigHobGuid;
      rename(decoy->Name);
    }
    auto module = sim::SbPeiModule::load(engine(), core);
    ASSERT_EQ(module->run_entry(), EFI_SUCCESS);
    // The block's address in the private PPI, after its reserved word, its version and the reader.
    const auto config = [&] {
      std::uint64_t v = 0;
      std::memcpy(&v, static_cast<UINT8 *>(core.locate(gSbPrivatePpiGuid)) + 8 + module->word_size(), module->word_size());
      return v;
    };
    const auto config_before = config();

    core.move_hob_list();
    auto *phit = core.hob_list();
    auto *block = reinterpret_cast<SB_CONFIG_HOB *>(core.find_guid_hob(gSbConfigHobGuid));
    ASSERT_NE(block, nullptr);
    // A copy of the block just past the end-of-list HOB, where a walk that ran on would find it.
    std::memcpy(reinterpret_cast<UINT8 *>(phit->EfiEndOfHobList) + sizeof(EFI_HOB_GENERIC_HEADER), block, sizeof *block);
    if (twist == Twist::FirstHobOfLengthZero)
      reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<UINT8 *>(phit) + phit->Header.HobLength)->HobLength = 0;
    if (twist == Twist::BlockOnlyPastTheEnd) block->Header.Name.Data2 ^= 1;
    core.install_ppi(gEfiPeiMemoryDiscoveredPpiGuid, nullptr);
    // (Fatal: a walk that fails here may never end in the next case.)
    ASSERT_EQ(config(), twist == Twist::None ? reinterpret_cast<std::uintptr_t>(&block->Config) : config_before);
  }
}

TEST_P(Entry, HobHoldsDefaultsWhenNoPlatformHookIsFound) {
  Run({}, /*with_hook=*/false);
  SB_CONFIG *c = Config();
  ASSERT_NE(c, nullptr);
  EFI_HOB_GUID_TYPE *h = core_.find_guid_hob(gSbConfigHobGuid);
  EXPECT_EQ(h->Header.HobLength, 408);
  SB_CONFIG expected{};
  expected.PeiServices = module_->services_as_seen();
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

TEST_P(Entry, HookPointsSeeTheBlockInOrder) {
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
  EXPECT_EQ(Config()->PlatformHook, module_->platform_hook_as_seen());
  if (engine() == sim::Engine::Host) {
    EXPECT_EQ(Config()->PlatformHook, static_cast<UINT32>(reinterpret_cast<UINTN>(hook_->function())));
  }
}

struct OptionalCase {
  const char *name;
  UINT32 set_at;    // hook point that sets SbFlags bit 1 (0: none)
  UINT32 clear_at;  // hook point that clears it (0: none)
  bool installed;
  UINT8 other_flags = 0;  // further SbFlags bits set at the last hook point
};

using OptionalPpi = test::OnEngine<EntryTest, OptionalCase>;

TEST_P(OptionalPpi, DecidedAfterTheLastHookPoint) {
  const OptionalCase p = Param();
  Run([&](UINT32 point, SB_CONFIG &c) {
    if (point == p.set_at) c.SbFlags |= kSbFlagInstallOptionalPpi;
    if (point == p.clear_at) c.SbFlags &= ~kSbFlagInstallOptionalPpi;
    if (point == SbHookAfterInit) c.SbFlags |= p.other_flags;
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
    test::OnEngines<OptionalCase>({{"never", 0, 0, false},
                                   {"at_0x100", 0x100, 0, true},
                                   {"at_0x200", 0x200, 0, true},
                                   {"at_0x201", 0x201, 0, true},
                                   {"set_then_cleared_at_0x201", 0x100, 0x201, false},
                                   {"cleared_at_0x200_set_again_at_0x201", 0x201, 0x200, true},
                                   {"every_other_flag_bit", 0, 0, false, 0xFD}}),  // all but bit 1
    test::EngineNames());

EFI_STATUS EFIAPI OtherReset(const EFI_PEI_SERVICES **) { return EFI_SUCCESS; }
EFI_STATUS EFIAPI OtherStall(const EFI_PEI_SERVICES **, const EFI_PEI_STALL_PPI *, UINTN) { return EFI_SUCCESS; }

struct PrecedenceCase {
  const char *name;
  bool other_reset, other_stall;
};

using Precedence = test::OnEngine<EntryTest, PrecedenceCase>;

TEST_P(Precedence, ResetAndStallOfAnotherModuleWinIndependently) {
  const PrecedenceCase p = Param();
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
                         test::OnEngines<PrecedenceCase>({{"none", false, false},
                                                          {"reset", true, false},
                                                          {"stall", false, true},
                                                          {"both", true, true}}),
                         test::EngineNames());

TEST_P(Entry, LocateErrorOtherThanNotFoundLeavesThePpiOut) {
  // LocatePpi calls: 1 platform hook, 2 reset, 3 stall.
  core_.fail_call(PeiService::LocatePpi, 2, EFI_DEVICE_ERROR);
  Run();
  EXPECT_THAT(PpiNames(), ElementsAre("SB_PLATFORM_HOOK_PPI", "SB_PRIVATE_PPI", "EFI_PEI_STALL_PPI",
                                      "EFI_PEI_SMBUS_PPI", "EFI_PEI_SMBUS_PPI", "SB_INIT_DONE_PPI"));
}

TEST_P(Entry, PlatformHookThatCannotBeLocatedIsNeverCalled) {
  core_.fail_call(PeiService::LocatePpi, 1, EFI_NOT_FOUND);
  Run([](UINT32, SB_CONFIG &c) { c.MiscOptions = 0xFFFFFFFF; });
  EXPECT_TRUE(hook_->calls().empty());
  EXPECT_EQ(Config()->PlatformHook, 0u);
  EXPECT_EQ(Config()->MiscOptions, 0x10u);  // the hook's 0xFFFFFFFF never arrived
}

TEST_P(Entry, ReturnsTheStatusOfTheFinalInstallOnly) {
  // InstallPpi calls: 1 private, 2 reset, 3 stall, 4 SMBus, 5 init-done.
  core_.fail_call(PeiService::InstallPpi, 2, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Run(), EFI_SUCCESS);
}

TEST_P(Entry, ReturnsAFailingFinalInstall) {
  core_.fail_call(PeiService::InstallPpi, 5, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Run(), EFI_OUT_OF_RESOURCES);
}

struct AllocationCase {
  const char *name;
  PeiService service;
  unsigned nth;
  std::size_t hook_calls;  // hook calls made before the failure stopped the entry
  // What the service answers. EFI_SUCCESS with no buffer is a core that says yes and hands back
  // nothing: the entry must not work on a null pointer either.
  EFI_STATUS injected = EFI_OUT_OF_RESOURCES;
};

using AllocationFailure = test::OnEngine<EntryTest, AllocationCase>;

TEST_P(AllocationFailure, ReturnsTheErrorAtOnce) {
  const AllocationCase p = Param();
  core_.fail_call(p.service, p.nth, p.injected);
  EXPECT_EQ(Run(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(hook_->calls().size(), p.hook_calls);
  EXPECT_THAT(PpiNames(), ElementsAre("SB_PLATFORM_HOOK_PPI"));
  EXPECT_EQ(core_.call_count(PeiService::InstallPpi), 0u);
  EXPECT_TRUE(machine_.trace().entries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Injected, AllocationFailure,
    test::OnEngines<AllocationCase>({{"private_data_pool", PeiService::AllocatePool, 1, 0},
                                     {"configuration_hob", PeiService::CreateHob, 1, 0},
                                     {"private_descriptor_pool", PeiService::AllocatePool, 2, 1},
                                     {"private_data_pool_null", PeiService::AllocatePool, 1, 0, EFI_SUCCESS},
                                     {"configuration_hob_null", PeiService::CreateHob, 1, 0, EFI_SUCCESS},
                                     {"private_descriptor_pool_null", PeiService::AllocatePool, 2, 1, EFI_SUCCESS}}),
    test::EngineNames());

TEST_P(Entry, ConfigHobIsTheBlockNotACopy) {
  SB_CONFIG *seen = nullptr;
  Run([&](UINT32 point, SB_CONFIG &c) {
    seen = &c;
    if (point == SbHookAfterInit) c.UsbResetMask = 0x2A;
  });
  EXPECT_EQ(seen, Config());
  EXPECT_EQ(Config()->UsbResetMask, 0x2A);
}

}  // namespace
