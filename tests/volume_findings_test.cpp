// What a boot from a PEI volume reports, worked out from what a pass left: the HOB list read
// back, the reason each module never ran, and the findings of a pass and of the whole boot.
// Each kind of finding is raised on a case that has it and on none that does not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "sim/board/volume_boot.h"
#include "sim/engines/volume_analysis.h"
#include "sim/services/guid_names.h"
#include "sim/services/sec_core.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// ---- The HOB list ---------------------------------------------------------------------------

// A HOB list laid out in a buffer that a reader sees at kListAt.
constexpr std::uint64_t kListAt = 0x10000;

class HobBuffer {
 public:
  HobBuffer &handoff(EFI_BOOT_MODE mode) {
    EFI_HOB_HANDOFF_INFO_TABLE t{};
    t.Header = {EFI_HOB_TYPE_HANDOFF, sizeof t, 0};
    t.BootMode = mode;
    return add(&t, sizeof t);
  }
  HobBuffer &block(const EFI_GUID &name, std::uint16_t timer_port, std::uint16_t length = sizeof(SB_CONFIG_HOB)) {
    SB_CONFIG_HOB h{};
    h.Header.Header = {EFI_HOB_TYPE_GUID_EXTENSION, length, 0};
    h.Header.Name = name;
    h.Config.AcpiPmTmrBlk = timer_port;
    bytes_.resize(bytes_.size() + length);
    std::memcpy(bytes_.data() + bytes_.size() - length, &h, std::min<std::size_t>(length, sizeof h));
    return *this;
  }
  HobBuffer &header(std::uint16_t type, std::uint16_t length) {
    EFI_HOB_GENERIC_HEADER h{type, length, 0};
    add(&h, sizeof h);
    bytes_.resize(bytes_.size() + (length > sizeof h ? length - sizeof h : 0));
    return *this;
  }
  HobBuffer &end() { return header(EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER)); }

  sim::GuestMemory memory() const {
    return [this](std::uint64_t address, std::size_t n) -> const void * {
      if (address < kListAt || address - kListAt + n > bytes_.size()) return nullptr;
      return bytes_.data() + (address - kListAt);
    };
  }

 private:
  HobBuffer &add(const void *p, std::size_t n) {
    const auto *b = static_cast<const std::uint8_t *>(p);
    bytes_.insert(bytes_.end(), b, b + n);
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

EFI_GUID Renamed(EFI_GUID g, int byte) {
  reinterpret_cast<std::uint8_t *>(&g)[byte] ^= 0x01;
  return g;
}

struct HobCase {
  const char *name;
  std::function<void(HobBuffer &)> build;
  std::optional<EFI_BOOT_MODE> boot_mode;
  std::optional<std::uint16_t> timer_port;  // of the block found, if one is
};

class HobList : public ::testing::TestWithParam<HobCase> {};

TEST_P(HobList, ReadsTheBootModeAndTheBlock) {
  HobBuffer b;
  GetParam().build(b);
  const sim::HobListView v = sim::read_hob_list(kListAt, b.memory());
  EXPECT_EQ(v.boot_mode, GetParam().boot_mode);
  ASSERT_EQ(v.config.has_value(), GetParam().timer_port.has_value());
  if (v.config) {
    EXPECT_EQ(v.config->AcpiPmTmrBlk, *GetParam().timer_port);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, HobList,
    ::testing::Values(
        HobCase{"block_after_the_handoff",
                [](HobBuffer &b) { b.handoff(BOOT_ON_S3_RESUME).header(EFI_HOB_TYPE_MEMORY_POOL, 32).block(gSbConfigHobGuid, 0x808).end(); },
                BOOT_ON_S3_RESUME, 0x808},
        HobCase{"no_handoff_first", [](HobBuffer &b) { b.block(gSbConfigHobGuid, 0x808).end(); }, std::nullopt, std::nullopt},
        HobCase{"nothing_readable", [](HobBuffer &) {}, std::nullopt, std::nullopt},
        HobCase{"other_names_passed_over",
                [](HobBuffer &b) {
                  b.handoff(BOOT_WITH_FULL_CONFIGURATION).block(Renamed(gSbConfigHobGuid, 0), 0x111);
                  b.block(Renamed(gSbConfigHobGuid, 15), 0x222).end();
                },
                BOOT_WITH_FULL_CONFIGURATION, std::nullopt},
        HobCase{"a_block_too_short_is_not_taken",
                [](HobBuffer &b) { b.handoff(BOOT_WITH_FULL_CONFIGURATION).block(gSbConfigHobGuid, 0x808, 64).end(); },
                BOOT_WITH_FULL_CONFIGURATION, std::nullopt},
        HobCase{"nothing_past_the_end",
                [](HobBuffer &b) { b.handoff(BOOT_WITH_FULL_CONFIGURATION).end().block(gSbConfigHobGuid, 0x808); },
                BOOT_WITH_FULL_CONFIGURATION, std::nullopt},
        HobCase{"a_hob_of_length_zero_ends_the_walk",
                [](HobBuffer &b) {
                  b.handoff(BOOT_WITH_FULL_CONFIGURATION).header(EFI_HOB_TYPE_MEMORY_POOL, 0).block(gSbConfigHobGuid, 0x808).end();
                },
                BOOT_WITH_FULL_CONFIGURATION, std::nullopt},
        HobCase{"a_list_that_runs_out_of_memory_keeps_what_was_read",
                [](HobBuffer &b) { b.handoff(BOOT_ON_S4_RESUME).block(gSbConfigHobGuid, 0x808).header(EFI_HOB_TYPE_MEMORY_POOL, 64); },
                BOOT_ON_S4_RESUME, 0x808}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Modules that never ran -------------------------------------------------------------------

sim::VolumeModule Module(const char *name, std::uint8_t type = sim::kFfsPeim) {
  sim::VolumeModule m;
  m.name = name;
  m.type = type;
  return m;
}

sim::VolumeModule Waiting(const char *name, std::initializer_list<EFI_GUID> all_of) {
  sim::VolumeModule m = Module(name);
  m.depex.emplace();
  for (const EFI_GUID &g : all_of) m.depex->push_back({sim::DepexOp::Push, g});
  for (std::size_t i = 1; i < all_of.size(); ++i) m.depex->push_back({sim::DepexOp::And, {}});
  m.depex->push_back({sim::DepexOp::End, {}});
  return m;
}

TEST(NotDispatched, EachModuleWithItsReason) {
  std::vector<sim::VolumeModule> modules = {Module("PeiCore", sim::kFfsPeiCore), Module("Ran"), Module("NotInPlace"),
                                            Module("BadDepex"), Waiting("Waits", {gSbInitDonePpiGuid, gEfiPeiStallPpiGuid}),
                                            Waiting("Satisfied", {gEfiPeiStallPpiGuid}), Module("NoDepex")};
  modules[2].xip_problem = "linked for 0x1000, but lies at 0x2000";
  modules[3].depex_problem = "unknown opcode 0x42";
  const std::vector<sim::DispatchedModule> dispatched = {{"Ran", 0, 1, EFI_SUCCESS}};
  const std::vector<sim::InstalledPpiRecord> ppis = {{sim::guid_name(gEfiPeiStallPpiGuid), "SbPei", 0, 0}};

  const auto whole = sim::explain_not_dispatched(modules, dispatched, ppis, /*cut_short=*/false);
  EXPECT_THAT(whole, ElementsAre("NotInPlace: it cannot run in place: linked for 0x1000, but lies at 0x2000",
                                 "BadDepex: its dependency expression cannot be read: unknown opcode 0x42",
                                 "Waits: its dependency expression (PUSH SB_INIT_DONE_PPI, PUSH EFI_PEI_STALL_PPI, AND, "
                                 "END) was never satisfied: never installed: SB_INIT_DONE_PPI",
                                 "Satisfied: the PEI core passed it over", "NoDepex: the PEI core passed it over"));
  const auto cut = sim::explain_not_dispatched(modules, dispatched, ppis, /*cut_short=*/true);
  EXPECT_EQ(cut[3], "Satisfied: the pass ended before the PEI core got to it");
  // Every module dispatched: nothing to explain.
  std::vector<sim::DispatchedModule> all;
  for (const sim::VolumeModule &m : modules) all.push_back({m.name, 0, 0, std::nullopt});
  EXPECT_THAT(sim::explain_not_dispatched(modules, all, {}, true), IsEmpty());
}

TEST(NotDispatched, TheFirstInstallIsWhatLocatePpiFinds) {
  const std::vector<sim::InstalledPpiRecord> ppis = {{"EFI_PEI_STALL_PPI", "board", 0, 0}, {"EFI_PEI_STALL_PPI", "SbPei", 0, 0}};
  EXPECT_EQ(sim::first_installer(ppis, "EFI_PEI_STALL_PPI"), "board");
  EXPECT_EQ(sim::first_installer(ppis, "EFI_PEI_RESET_PPI"), "");
}

// ---- Findings of a pass -----------------------------------------------------------------------

// A pass with nothing wrong: it reached the DXE IPL with memory, SbPei's PPIs answered the same
// after memory, and SbPei's Stall waited its time.
sim::VolumePass CleanPass() {
  sim::VolumePass p;
  p.volume.reached_dxe_ipl = true;
  p.volume.permanent_memory = std::pair<std::uint64_t, std::uint64_t>{0x44100000, 0x3F00000};
  p.volume.migration.push_back({"private PPI", 0x44000010, 0x44100010});
  sim::SmbusResult t{};
  t.status = EFI_SUCCESS;
  t.length = 1;
  t.data = {0x5A};
  p.pei.smbus = {t};
  p.smbus_after_memory = {t};
  p.smbus_by = p.sleep_boot_mode_by = p.stall_by = "SbPei";
  p.stall_after_memory = EFI_SUCCESS;
  p.stall_after_memory_us = 100;
  p.stall_after_memory_took_ns = 100'000;
  return p;
}

struct PassCase {
  const char *name;
  std::function<void(sim::VolumePass &)> spoil;
  std::vector<const char *> findings;  // a substring of each finding, in order
};

class PassFindings : public ::testing::TestWithParam<PassCase> {};

TEST_P(PassFindings, RaisedExactlyWhereTheCaseHasThem) {
  sim::VolumePass p = CleanPass();
  GetParam().spoil(p);
  const std::vector<std::string> found = sim::find_pass_faults(p, 2);
  ASSERT_EQ(found.size(), GetParam().findings.size()) << ::testing::PrintToString(found);
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_THAT(found[i], HasSubstr("PEI pass 2: "));
    EXPECT_THAT(found[i], HasSubstr(GetParam().findings[i]));
  }
}

const std::uint32_t kInTemporaryRam = static_cast<std::uint32_t>(sim::SecCore::kTemporaryRamBase + 0x100);

INSTANTIATE_TEST_SUITE_P(
    Passes, PassFindings,
    ::testing::Values(
        PassCase{"clean", [](sim::VolumePass &) {}, {}},
        PassCase{"stopped", [](sim::VolumePass &p) {
                   p.volume.reached_dxe_ipl = false;
                   p.volume.stopped = "SbPei: invalid instruction at SbPei+0x10";
                 },
                 {"never reached the DXE IPL: SbPei: invalid instruction"}},
        PassCase{"simulator_failure_alone",
                 [](sim::VolumePass &p) {
                   p.volume.reached_dxe_ipl = false;
                   p.volume.simulator_error = "arena: a range outside the simulator's RAM";
                   p.volume.not_dispatched = {"SbSimMemoryPei: the pass ended before the PEI core got to it"};
                   p.volume.migration[0].after = kInTemporaryRam;
                 },
                 {"the simulator failed (a fault of the bench, not of the firmware): arena: a range outside"}},
        PassCase{"dxe_ipl_without_memory", [](sim::VolumePass &p) { p.volume.permanent_memory.reset(); },
                 {"no module had installed permanent memory"}},
        PassCase{"never_ran", [](sim::VolumePass &p) { p.volume.not_dispatched = {"X: the PEI core passed it over"}; },
                 {"never ran: X: the PEI core passed it over"}},
        PassCase{"never_ran_hidden_by_a_reset",
                 [](sim::VolumePass &p) {
                   p.volume.reached_dxe_ipl = false;
                   p.volume.reset = sim::ResetSignal{0x06, 1000};
                   p.volume.not_dispatched = {"X: the pass ended before the PEI core got to it"};
                 },
                 {}},
        PassCase{"pointer_left_in_temporary_ram", [](sim::VolumePass &p) { p.volume.migration[0].after = kInTemporaryRam; },
                 {"SbPei's private PPI still points into temporary RAM"}},
        PassCase{"temporary_ram_used_after_it_was_given_up",
                 [](sim::VolumePass &p) { p.volume.stale.push_back({"SbPei", kInTemporaryRam, true, 3}); },
                 {"SbPei wrote temporary RAM after it was given up: 3 time(s)"}},
        PassCase{"smbus_answers_otherwise", [](sim::VolumePass &p) { p.smbus_after_memory[0].status = EFI_DEVICE_ERROR; },
                 {"SMBus transaction 1 through SbPei's SMBus PPI gave another result after memory"}},
        PassCase{"smbus_data_differs", [](sim::VolumePass &p) { p.smbus_after_memory[0].data = {0xA5}; },
                 {"SMBus transaction 1"}},
        PassCase{"another_modules_smbus_is_not_judged",
                 [](sim::VolumePass &p) {
                   p.smbus_after_memory[0].status = EFI_DEVICE_ERROR;
                   p.smbus_by = "board";
                 },
                 {}},
        PassCase{"stall_too_short", [](sim::VolumePass &p) { p.stall_after_memory_took_ns = 99'999; },
                 {"Stall(100 us) through SbPei's Stall PPI after memory returned EFI_SUCCESS after 100.0 us"}},
        PassCase{"stall_fails", [](sim::VolumePass &p) { p.stall_after_memory = EFI_DEVICE_ERROR; },
                 {"returned EFI_DEVICE_ERROR"}},
        PassCase{"another_modules_stall_is_not_judged",
                 [](sim::VolumePass &p) {
                   p.stall_after_memory_took_ns = 0;
                   p.stall_by = "board";
                 },
                 {}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Findings of the boot ---------------------------------------------------------------------

TEST(BootFindings, AResetOnEveryPassTheBenchAllowsIsAResetLoop) {
  sim::VolumeBoot boot;
  const auto pass = [](bool reset) {
    sim::VolumePass p;
    if (reset) p.volume.reset = sim::ResetSignal{0x06, 0};
    return p;
  };
  boot.passes = {pass(true), pass(true)};
  EXPECT_THAT(sim::find_boot_faults(boot, 2),
              ElementsAre(HasSubstr("the firmware reset on every pass: stopped after 2 passes")));
  boot.passes = {pass(true), pass(false)};  // the one-time reset: the second pass went on
  EXPECT_THAT(sim::find_boot_faults(boot, 2), IsEmpty());
  boot.passes = {pass(false)};
  EXPECT_THAT(sim::find_boot_faults(boot, 1), IsEmpty());
}

}  // namespace
