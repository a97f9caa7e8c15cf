// The simulator's PEI volume (edk2/SbPkg/SimPlatform, built by edk2/build_platform.sh): its format
// as the reset vector reads it, and its boot under EDK2's PEI core when something is wrong with
// it. Each fault is made in a copy of the built volume.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "pi/ppi/cpu_io.h"
#include "sb_pei/sb_pei.h"
#include "sim/board/pei_boot.h"
#include "sim/board/scenario.h"
#include "sim/board/trace_diff.h"
#include "sim/board/volume_boot.h"
#include "sim/image/pei_volume.h"
#include "sim/services/guid_names.h"
#include "sim/services/sec_core.h"

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

std::vector<std::uint8_t> Built() {
  std::ifstream in(SB_SIM_VOLUME, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The built volume's layout, to find what to break.
const sim::PeiVolume &Volume() { return sim::PeiVolume::load(SB_SIM_VOLUME); }
const sim::VolumeModule &Module(const std::string &name) {
  for (const sim::VolumeModule &m : Volume().modules())
    if (m.name == name) return m;
  throw std::runtime_error("no module " + name);
}
const sim::FfsFile &File(const std::string &name) {
  for (const sim::FfsFile &f : Volume().fv().files())
    if (f.ui_name == name) return f;
  throw std::runtime_error("no file " + name);
}

// A file's header checksum made right again after a change to its header.
void FixHeaderChecksum(std::vector<std::uint8_t> &v, std::size_t file) {
  v[file + 16] = 0;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 24; ++i)
    if (i != 17 && i != 23) sum = static_cast<std::uint8_t>(sum + v[file + i]);
  v[file + 16] = static_cast<std::uint8_t>(-sum);
}

std::string Write(const std::vector<std::uint8_t> &bytes, const std::string &name) {
  const std::string path = ::testing::TempDir() + "sbsim-" + name + ".Fv";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// ---- The format -----------------------------------------------------------------------------

struct BadVolume {
  const char *name;
  std::function<void(std::vector<std::uint8_t> &)> spoil;
  const char *reason;
};

class VolumeRefused : public ::testing::TestWithParam<BadVolume> {};

TEST_P(VolumeRefused, NamesTheFault) {
  std::vector<std::uint8_t> v = Built();
  EXPECT_NO_THROW(sim::PeiVolume::parse(v, "good"));
  GetParam().spoil(v);
  try {
    sim::PeiVolume::parse(v, "bad.Fv");
    FAIL() << "accepted";
  } catch (const std::runtime_error &e) {
    EXPECT_THAT(e.what(), HasSubstr(GetParam().reason));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, VolumeRefused,
    ::testing::Values(
        BadVolume{"not_a_volume", [](auto &v) { v[40] = 'X'; }, "no volume signature"},
        BadVolume{"truncated", [](auto &v) { v.resize(v.size() / 2); }, "truncated: the header says 131072 bytes"},
        BadVolume{"too_short_for_a_header", [](auto &v) { v.resize(40); }, "too short for a volume header"},
        BadVolume{"header_checksum", [](auto &v) { v[44] ^= 0x01; }, "volume header's checksum is wrong"},
        BadVolume{"file_header_checksum", [](auto &v) { v[File("SbPei").offset] ^= 0x01; }, "header checksum is wrong"},
        BadVolume{"file_checksum",
                  [](auto &v) {
                    v[File("SbPei").offset + 17] = 0x55;
                  },
                  "file checksum 0x55 where 0xAA belongs"},
        BadVolume{"file_past_the_end",
                  [](auto &v) {
                    const std::size_t f = File("SbSimMemoryPei").offset;
                    v[f + 22] = 0x7F;  // 8 MiB
                    FixHeaderChecksum(v, f);
                  },
                  "does not fit the volume"},
        BadVolume{"section_past_the_file",
                  [](auto &v) {
                    const sim::FfsSection *s = File("SbPei").section(sim::kSectionTe);
                    v[s->offset - 4 + 2] = 0x10;  // its size: a megabyte more
                  },
                  "does not fit the file"},
        BadVolume{"no_pei_core",
                  [](auto &v) {
                    const std::size_t f = File("PeiCore").offset;
                    v[f + 18] = sim::kFfsPeim;
                    FixHeaderChecksum(v, f);
                  },
                  "no PEI core in the volume"},
        BadVolume{"pei_core_image_not_a_pe",
                  [](auto &v) {
                    const sim::FfsSection *s = File("PeiCore").section(sim::kSectionPe32);
                    v[s->offset] = 'X';
                  },
                  "no MZ or TE header"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(VolumeLayout, TheBuiltVolumeIsWhereItsImagesWereRebased) {
  const sim::PeiVolume &v = Volume();
  EXPECT_EQ(v.base(), 0xFFFE0000u);
  EXPECT_EQ(v.base() + v.fv().length(), 1ull << 32);  // the top of the 4 GiB space, as a boot block
  ASSERT_EQ(v.modules().front().type, sim::kFfsPeiCore);
  for (const sim::VolumeModule &m : v.modules()) {
    EXPECT_EQ(m.xip_problem, "") << m.name;  // every image runs in place where it lies
    EXPECT_EQ(m.depex_problem, "") << m.name;
    EXPECT_GE(m.entry, m.first) << m.name;
    EXPECT_LT(m.entry, m.end) << m.name;
  }
  const sim::VolumeModule &sb = Module("SbPei");
  EXPECT_TRUE(sb.te);
  ASSERT_TRUE(sb.depex);
  EXPECT_EQ(sim::describe_depex(*sb.depex, sim::guid_name), "PUSH EFI_PEI_CPU_IO_PPI_INSTALLED, END");
  // A PEIM installs a PPI from a descriptor in its image; one that only looks it up (SbPei and
  // the hook) holds the GUID but installs nothing.
  EXPECT_EQ(v.peim_installing(gSbPlatformHookPpiGuid), nullptr);
  ASSERT_NE(v.peim_installing(gSbInitDonePpiGuid), nullptr);
  EXPECT_EQ(v.peim_installing(gSbInitDonePpiGuid)->name, "SbPei");
  const sim::VolumeModule *hook = sim::PeiVolume::load(SB_SIM_VOLUME_HOOK).peim_installing(gSbPlatformHookPpiGuid);
  ASSERT_NE(hook, nullptr);
  EXPECT_EQ(hook->name, "SbTestHookPei");
}

// ---- Dependency expressions -------------------------------------------------------------------

struct DepexCase {
  const char *name;
  std::vector<std::uint8_t> bytes;
  const char *refusal;  // nullptr: decodes
  bool with_cpu_io;     // its value with only the CPU I/O PPI installed
};

using sim::DepexOp;

std::vector<std::uint8_t> Push(const EFI_GUID &g) {
  std::vector<std::uint8_t> b(1 + sizeof g);
  b[0] = DepexOp::Push;
  std::memcpy(b.data() + 1, &g, sizeof g);
  return b;
}
std::vector<std::uint8_t> Cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Depex : public ::testing::TestWithParam<DepexCase> {};

TEST_P(Depex, DecodesAndEvaluates) {
  const DepexCase &c = GetParam();
  if (c.refusal != nullptr) {
    try {
      sim::decode_depex(c.bytes.data(), c.bytes.size());
      FAIL() << "decoded";
    } catch (const sim::VolumeError &e) {
      EXPECT_THAT(e.what(), HasSubstr(c.refusal));
    }
    return;
  }
  const auto ops = sim::decode_depex(c.bytes.data(), c.bytes.size());
  EXPECT_EQ(sim::evaluate_depex(ops, [](const EFI_GUID &g) { return GuidsEqual(g, gEfiPeiCpuIoPpiInstalledGuid); }),
            c.with_cpu_io);
}

INSTANTIATE_TEST_SUITE_P(
    Expressions, Depex,
    ::testing::Values(
        DepexCase{"true", {DepexOp::True, DepexOp::End}, nullptr, true},
        DepexCase{"cpu_io", Cat({Push(gEfiPeiCpuIoPpiInstalledGuid), {DepexOp::End}}), nullptr, true},
        DepexCase{"cpu_io_and_init_done",
                  Cat({Push(gEfiPeiCpuIoPpiInstalledGuid), Push(gSbInitDonePpiGuid), {DepexOp::And, DepexOp::End}}),
                  nullptr, false},
        DepexCase{"cpu_io_or_init_done",
                  Cat({Push(gEfiPeiCpuIoPpiInstalledGuid), Push(gSbInitDonePpiGuid), {DepexOp::Or, DepexOp::End}}),
                  nullptr, true},
        DepexCase{"not_init_done", Cat({Push(gSbInitDonePpiGuid), {DepexOp::Not, DepexOp::End}}), nullptr, true},
        DepexCase{"unknown_opcode", {0x42}, "unknown opcode 0x42", false},
        DepexCase{"push_without_its_guid", {DepexOp::Push, 1, 2, 3}, "PUSH without its GUID", false},
        DepexCase{"and_of_one_value", {DepexOp::True, DepexOp::And, DepexOp::End}, "fewer than two values", false},
        DepexCase{"no_end", {DepexOp::True}, "no END", false},
        DepexCase{"end_leaves_two", {DepexOp::True, DepexOp::True, DepexOp::End}, "does not leave one value", false},
        DepexCase{"before_in_a_peim", Cat({{DepexOp::Before}, Push(gSbInitDonePpiGuid), {DepexOp::End}}),
                  "no place in a PEIM's", false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- A TE image that must be relocated --------------------------------------------------------

// SbPei's TE image from the volume is linked to run in place at its flash address; the image
// engine loads it at 0x30000000, so every absolute address in it is relocated. It must then make
// every access of the golden trace.
TEST(TeImage, SbPeiFromTheVolumeRelocatedElsewhereMakesTheGoldenAccesses) {
  const sim::VolumeModule &sb = Module("SbPei");
  const sim::PeImage te = Volume().image(sb);
  ASSERT_TRUE(te.is_te());
  EXPECT_EQ(te.preferred_base(), sb.first);
  // Loaded at two places, the image differs at the relocated words only, by the distance.
  std::vector<std::uint8_t> here(te.size_of_image()), there(te.size_of_image());
  te.load(here.data(), sb.first);
  te.load(there.data(), 0x30000000);
  unsigned moved = 0;
  for (std::size_t i = 0; i + 4 <= here.size(); ++i) {
    std::uint32_t a, b;
    std::memcpy(&a, &here[i], 4);
    std::memcpy(&b, &there[i], 4);
    if (a != b && b - a == 0x30000000 - static_cast<std::uint32_t>(sb.first)) ++moved;
  }
  EXPECT_GT(moved, 20u);
  EXPECT_EQ(std::memcmp(here.data(), Built().data() + sb.image_offset, sb.image_size), 0);  // in place: as in flash

  // The image engine runs the TE file in place of SbPei.efi.
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "sbsim-te";
  std::filesystem::create_directories(dir);
  const std::vector<std::uint8_t> v = Built();
  std::ofstream(dir / "SbPei.efi", std::ios::binary)
      .write(reinterpret_cast<const char *>(v.data() + sb.image_offset), static_cast<std::streamsize>(sb.image_size));
  setenv("SB_IMAGE_DIR", dir.c_str(), 1);
  const sim::Board board = sim::load_board(SB_BOARDS_DIR "/one-time-reset.toml");
  sim::BoardHardware hw(board);
  hw.machine.set_watchdog(10'000'000'000);
  const auto passes = sim::run_pei_passes(board, hw, 4, sim::Engine::Image);
  unsetenv("SB_IMAGE_DIR");
  ASSERT_EQ(passes.size(), 2u);
  std::ostringstream diff;
  const auto golden = sim::select_lines(sim::read_trace(SB_SOURCE_DIR "/tests/golden/one-time-reset.jsonl"), {}, {"PEI*"});
  EXPECT_TRUE(sim::diff_traces(sim::fold_delays(golden), sim::fold_delays(sim::trace_lines(hw.machine)), diff))
      << diff.str();
}

// ---- Boots that go wrong ----------------------------------------------------------------------

sim::VolumeBoot Boot(const std::string &volume, const sim::VolumeOptions &options = {}) {
  const sim::Board board = sim::default_board();
  sim::BoardHardware hw(board);
  return sim::run_volume_boot(board, hw, volume, sim::Engine::Host, options);
}

TEST(VolumeBoot, ADependencyNeverSatisfiedIsNamedWithTheModulesThatNeverRan) {
  std::vector<std::uint8_t> v = Built();
  const sim::FfsSection *depex = File("SbPei").section(sim::kSectionPeiDepex);
  v[depex->offset + 16] ^= 0xFF;  // the last byte of the GUID it pushes
  const sim::VolumeBoot boot = Boot(Write(v, "depex"));
  ASSERT_EQ(boot.passes.size(), 1u);
  EXPECT_FALSE(boot.passes[0].volume.reached_dxe_ipl);
  EXPECT_FALSE(boot.dxe);
  EXPECT_THAT(boot.findings, Contains(AllOf(HasSubstr("never ran: SbPei: its dependency expression (PUSH E6AF1F7B-"),
                                            HasSubstr("was never satisfied"))));
  EXPECT_THAT(boot.findings, Contains(HasSubstr("never ran: SbSimMemoryPei")));
  // Without memory the PEI core stops on its assertion, which the finding quotes.
  EXPECT_THAT(boot.findings, Contains(AllOf(HasSubstr("never reached the DXE IPL: ASSERT [PeiCore]"),
                                            HasSubstr("PeiMemoryInstalled"))));
}

TEST(VolumeBoot, APeimThatNeverReturnsIsStoppedWithinItsBudget) {
  std::vector<std::uint8_t> v = Built();
  const std::size_t entry = Module("SbPei").entry - Volume().base();
  v[entry] = 0xEB;  // jmp $
  v[entry + 1] = 0xFE;
  const sim::VolumeBoot boot = Boot(Write(v, "loop"), {.max_blocks = 2'000'000});
  ASSERT_EQ(boot.passes.size(), 1u);
  ASSERT_TRUE(boot.passes[0].volume.stopped);
  EXPECT_THAT(*boot.passes[0].volume.stopped, HasSubstr("still running after 2000000 blocks"));
  ASSERT_EQ(boot.passes[0].volume.dispatched.size(), 2u);  // CpuIoPei, then SbPei, which never returned
  EXPECT_EQ(boot.passes[0].volume.dispatched[1].name, "SbPei");
  EXPECT_FALSE(boot.passes[0].volume.dispatched[1].status);
}

TEST(VolumeBoot, AModuleThatWritesIntoFlashIsStoppedAtTheWrite) {
  std::vector<std::uint8_t> v = Built();
  const std::size_t entry = Module("SbPei").entry - Volume().base();
  const std::uint8_t store[] = {0xC6, 0x05, 0x00, 0x01, 0xFE, 0xFF, 0x00};  // mov byte [0xFFFE0100], 0
  std::memcpy(&v[entry], store, sizeof store);
  const sim::VolumeBoot boot = Boot(Write(v, "xip"));
  ASSERT_TRUE(boot.passes[0].volume.stopped);
  EXPECT_THAT(*boot.passes[0].volume.stopped,
              AllOf(HasSubstr("execute-in-place violation: a write into flash at 0xFFFE0100 (PeiCore+0x40)"),
                    HasSubstr("(SbPei+0x")));
}

// What each access was made for: SbPei's through the CPU I/O PPI are SbPei's, the PPI's own
// module makes none of them; the PEI core's log lines are the PEI core's.
TEST(VolumeBoot, EveryAccessNamesTheModuleItWasMadeFor) {
  const sim::Board board = sim::default_board();
  sim::BoardHardware hw(board);
  const sim::VolumeBoot boot = sim::run_volume_boot(board, hw, SB_SIM_VOLUME, sim::Engine::Host);
  EXPECT_TRUE(boot.findings.empty()) << ::testing::PrintToString(boot.findings);
  std::map<std::string, unsigned> via_cpu_io, own;
  for (const sim::Access &a : hw.machine.trace().entries()) {
    ASSERT_NE(a.module, nullptr);
    (a.via != nullptr ? via_cpu_io : own)[a.module]++;
  }
  EXPECT_EQ(via_cpu_io.size(), 1u);  // SbPei alone calls the CPU I/O PPI here
  EXPECT_GT(via_cpu_io["SbPei"], 0u);
  EXPECT_GT(own["SbPei"], 300u);
  EXPECT_GT(own["PeiCore"], 100u);  // its log on COM1
  EXPECT_GT(own["CmosErrorPrompt"], 0u);
  EXPECT_EQ(own.count("(code outside the volume's images)"), 0u);
  // The PEI core's log says what it loaded.
  EXPECT_THAT(boot.passes[0].log, Contains(AllOf(HasSubstr("Loading PEIM at"), HasSubstr("SbPei.efi"))));
}

}  // namespace

namespace {

// A reset on every pass the bench allows is a finding (a reset loop), never a clean boot.
TEST(VolumeBoot, AResetOnEveryPassIsAFinding) {
  const sim::Board board = sim::load_board(SB_BOARDS_DIR "/one-time-reset.toml");
  sim::BoardHardware hw(board);
  const sim::VolumeBoot boot = sim::run_volume_boot(board, hw, SB_SIM_VOLUME, sim::Engine::Host, {}, /*max_passes=*/1);
  ASSERT_EQ(boot.passes.size(), 1u);
  EXPECT_TRUE(boot.passes[0].volume.reset);
  EXPECT_FALSE(boot.dxe);
  EXPECT_THAT(boot.findings, Contains(HasSubstr("the firmware reset on every pass: stopped after 1 passes")));
}

// An exception of the simulator's own during a pass is the simulator's failure, with its
// message: the firmware is not blamed for it.
TEST(VolumeBoot, ASimulatorExceptionIsTheSimulatorsFailure) {
  sim::BoardHardware hw;
  sim::VolumeEngine engine(Volume(), hw.machine, {});
  sim::VolumeBoard board;
  board.platform_hook = [](UINT32, SB_CONFIG &) {};
  board.after_sb_pei = [](sim::SbPeiPpis &) { throw std::logic_error("the board's consumer has no transaction 7"); };
  sim::VolumePass pass;
  pass.volume = engine.run_pass(board);
  EXPECT_FALSE(pass.volume.stopped);
  EXPECT_FALSE(pass.volume.reached_dxe_ipl);
  ASSERT_TRUE(pass.volume.simulator_error);
  EXPECT_EQ(*pass.volume.simulator_error, "the board's consumer has no transaction 7");
  EXPECT_THAT(sim::find_pass_faults(pass, 1),
              ::testing::ElementsAre("PEI pass 1: the simulator failed (a fault of the bench, not of the firmware): the "
                                     "board's consumer has no transaction 7"));
  // The engine is whole afterwards: the next pass boots.
  board.after_sb_pei = nullptr;
  EXPECT_TRUE(engine.run_pass(board).reached_dxe_ipl);
}

// A PEI core that shadows itself into permanent memory (EDK2's default) runs its services from
// the copy after the switch: they are followed there, so what it installs after memory is
// recorded and every module that ran is named.
TEST(VolumeBoot, APeiCoreThatShadowsItselfIsFollowedIntoMemory) {
  const sim::Board board = sim::default_board();
  sim::BoardHardware hw(board);
  const sim::VolumeBoot boot = sim::run_volume_boot(board, hw, SB_SIM_VOLUME_SHADOW, sim::Engine::Host);
  EXPECT_TRUE(boot.findings.empty()) << ::testing::PrintToString(boot.findings);
  const sim::VolumePassResult &v = boot.passes.at(0).volume;
  EXPECT_TRUE(v.not_dispatched.empty()) << ::testing::PrintToString(v.not_dispatched);
  ASSERT_FALSE(v.ppis.empty());
  EXPECT_EQ(v.ppis.back().ppi, "EFI_PEI_PERMANENT_MEMORY_INSTALLED_PPI");
  EXPECT_EQ(v.ppis.back().by, "PeiCore");
  EXPECT_GE(v.ppis.back().descriptor, v.permanent_memory.value().first);  // in the core's copy in memory
  // CpuIoPei registered for shadowing: the core calls its entry again from memory.
  EXPECT_EQ(std::count_if(v.dispatched.begin(), v.dispatched.end(), [](const auto &d) { return d.name == "CpuIoPei"; }), 2);
  ASSERT_TRUE(v.permanent_memory);
  for (const sim::PointerMove &m : v.migration) EXPECT_FALSE(m.left_in_temporary_ram()) << m.what;
}

}  // namespace

namespace {

// Another module's PPIs in SEC's list, as a later PEIM finds them: its Stall waits the time on
// the virtual clock, its ResetSystem resets the board through 0xCF9 and the pass ends there.
TEST(VolumeBoot, AnotherModulesStallWaitsAndItsResetResets) {
  sim::BoardHardware hw;
  sim::VolumeEngine engine(Volume(), hw.machine, {});
  sim::VolumeBoard board;
  board.platform_hook = [](UINT32, SB_CONFIG &) {};
  board.foreign_reset_ppi = board.foreign_stall_ppi = true;
  std::uint64_t waited_ns = 0;
  board.after_sb_pei = [&](sim::SbPeiPpis &ppis) {
    const std::uint64_t start = hw.machine.now_ns();
    EXPECT_EQ(ppis.stall(250), EFI_SUCCESS);
    waited_ns = hw.machine.now_ns() - start;
    ppis.reset_system();
    ADD_FAILURE() << "ResetSystem returned";
  };
  const sim::VolumePassResult r = engine.run_pass(board);
  EXPECT_GE(waited_ns, 250'000u);
  EXPECT_LT(waited_ns, 260'000u);  // the wait, and the few accesses of the call around it
  ASSERT_TRUE(r.reset) << r.stopped.value_or("") << r.simulator_error.value_or("");
  EXPECT_EQ(r.reset->value, 0x06);
  EXPECT_EQ(sim::first_installer(r.ppis, "EFI_PEI_STALL_PPI"), "board");
  EXPECT_EQ(sim::first_installer(r.ppis, "EFI_PEI_RESET_PPI"), "board");
  EXPECT_EQ(std::count_if(r.ppis.begin(), r.ppis.end(), [](const auto &p) { return p.by == "SbPei" && p.ppi == "EFI_PEI_STALL_PPI"; }), 0);
}

}  // namespace

namespace {

// SEC's PPI list is checked whole before any of it is written: 32 entries fit, a 33rd or
// interfaces larger than SEC's data hold are refused and the list in RAM stays as it was.
TEST(SecPpiList, IsCheckedWholeBeforeAnythingIsWritten) {
  const sim::PeiVolume &v = Volume();
  sim::ImageCpu cpu(sim::ImageCpu::Flash{v.base(), v.flash(), v.flash_size(), {}}, "SEC list",
                    {.writable_image = false, .mmio_below_4g = true});
  sim::SecCore sec(cpu);
  const sim::SecCore::Entry entry{sim::kPpiFlagPpi, gSbInitDonePpiGuid, {0x1234}, 0};
  const std::vector<sim::SecCore::Entry> full(sim::SecCore::kMaxEntries, entry);
  const auto placed = sec.prepare(v.base(), v.fv().length(), full);
  ASSERT_EQ(placed.size(), 32u);
  const auto *list = reinterpret_cast<const std::uint32_t *>(static_cast<std::uintptr_t>(sec.ppi_list()));
  EXPECT_EQ(list[3 * 31] & sim::kPpiFlagTerminate, sim::kPpiFlagTerminate);  // the last entry ends the list
  EXPECT_EQ(list[3 * 30] & sim::kPpiFlagTerminate, 0u);
  EXPECT_EQ(placed[31].descriptor, sec.ppi_list() + 12 * 31);
  EXPECT_EQ(*reinterpret_cast<const std::uint32_t *>(static_cast<std::uintptr_t>(placed[31].interface)), 0x1234u);

  const std::vector<std::uint32_t> before(list, list + 3 * 32);
  std::vector<sim::SecCore::Entry> too_many = full;
  too_many.push_back(entry);
  EXPECT_THROW(sec.prepare(v.base(), v.fv().length(), too_many), std::invalid_argument);
  std::vector<sim::SecCore::Entry> too_large(2, entry);
  too_large[1].interface.assign(256, 0);
  EXPECT_THROW(sec.prepare(v.base(), v.fv().length(), too_large), std::invalid_argument);
  EXPECT_THROW(sec.prepare(v.base(), v.fv().length(), {}), std::invalid_argument);
  EXPECT_EQ(std::vector<std::uint32_t>(list, list + 3 * 32), before);
}

}  // namespace
