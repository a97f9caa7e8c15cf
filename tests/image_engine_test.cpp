// The image engine itself: the loader's refusals and the execute-in-place check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

#include "sim/image/image_cpu.h"
#include "sim/machine/arena.h"
#include "sim/engines/image_modules.h"
#include "sim/image/image_symbols.h"
#include "sim/image/pe_image.h"
#include "sim/board/pei_boot.h"
#include "sim/board/random_board.h"
#include "sim/board/trace_diff.h"
#include "sim/services/pei_core.h"

using ::testing::HasSubstr;

namespace {

#ifdef SB_HAVE_IMAGES
TEST(ImageEngine, AModuleWritingAGlobalIsStoppedAtTheWrite) {
  sim::BoardHardware hw;
  hw.machine.set_watchdog(1'000'000'000);
  sim::PeiCore core(hw.machine);
  std::unique_ptr<sim::SbPeiModule> bad = sim::load_sb_pei_image(core, SB_BAD_XIP_IMAGE, {});
  try {
    bad->run_entry();
    FAIL() << "the write into the image went unnoticed";
  } catch (const sim::XipViolation &e) {
    // Where it wrote, and the instruction that did.
    EXPECT_THAT(e.what(), HasSubstr("execute-in-place violation"));
    EXPECT_THAT(e.what(), ::testing::ContainsRegex("wrote into its image at 0x[0-9A-F]+ \\(image offset 0x[0-9A-F]+\\)"));
    EXPECT_THAT(e.what(), ::testing::ContainsRegex("instruction at 0x[0-9A-F]+ \\(image offset 0x[0-9A-F]+: bytes( [0-9A-F]{2})+\\)"));
  }
  EXPECT_TRUE(hw.machine.trace().entries().empty());
}

// A batch of random boards (of the fuzz target's kind, from a fixed seed): the shipped images
// touch no memory they do not own on any of them, and make the accesses the host build makes.
TEST(ImageEngine, RandomBoardsAreCleanUnderTheMemoryCheck) {
  std::mt19937_64 random(20261209);
  const sim::Board base = sim::default_board();
  const auto folded_boot = [](const sim::Board &board, sim::Engine engine, std::vector<sim::MemoryFinding> *findings) {
    sim::BoardHardware hw(board);
    const auto passes = sim::run_pei_passes(board, hw, 4, engine);
    if (!passes.back().reset) sim::run_dxe(board, hw, passes.back().boot_mode, engine);
    *findings = hw.machine.memory().findings();
    std::ostringstream out;
    sim::write_folded(out, sim::fold_delays(sim::trace_lines(hw.machine)));
    return out.str();
  };
  for (int i = 0; i < 60; ++i) {
    const sim::Board board = sim::random_board(base, [&random](std::uint64_t lo, std::uint64_t hi) {
      return std::uniform_int_distribution<std::uint64_t>(lo, hi)(random);
    });
    std::vector<sim::MemoryFinding> host_findings, image_findings;
    const std::string host = folded_boot(board, sim::Engine::Host, &host_findings);
    const std::string image = folded_boot(board, sim::Engine::Image, &image_findings);
    EXPECT_TRUE(image_findings.empty()) << "board " << i << ": " << image_findings.front().describe();
    EXPECT_EQ(host, image) << "board " << i;
  }
}

TEST(ImageEngine, ShippedImagesLoadWhereTheEngineMapsThem) {
  const sim::PeImage pei = sim::PeImage::read(sim::image_path("SbPei.efi"));
  EXPECT_EQ(pei.machine(), sim::PeImage::kMachineIa32);
  for (const sim::PeSection &s : pei.sections()) EXPECT_FALSE(s.writable()) << s.name;
  const sim::PeImage dxe = sim::PeImage::read(sim::image_path("CmosErrorPrompt.efi"));
  EXPECT_EQ(dxe.machine(), sim::PeImage::kMachineX64);
  EXPECT_LT(dxe.entry_rva(), dxe.size_of_image());
  // The linker's maps beside them name their code: the entry points by name.
  EXPECT_EQ(sim::ImageSymbols::of(sim::image_path("SbPei.efi")).describe(pei.entry_rva()), "SbPeiEntry+0x0");
  EXPECT_EQ(sim::ImageSymbols::of(sim::image_path("CmosErrorPrompt.efi")).describe(dxe.entry_rva()),
            "CmosErrorPromptEntry+0x0");
}
#endif

// A minimal PE32 header set: MZ, PE signature, COFF header, optional header, no sections.
std::vector<std::uint8_t> MinimalPe32() {
  std::vector<std::uint8_t> f(0x200, 0);
  auto put16 = [&](std::size_t at, std::uint16_t v) { std::memcpy(&f[at], &v, 2); };
  auto put32 = [&](std::size_t at, std::uint32_t v) { std::memcpy(&f[at], &v, 4); };
  put16(0, 0x5A4D);
  put32(0x3C, 0x40);
  put32(0x40, 0x00004550);
  put16(0x44, sim::PeImage::kMachineIa32);  // machine
  put16(0x46, 0);                           // sections
  put16(0x54, 224);                         // optional header size
  put16(0x58, 0x10B);                       // PE32
  put32(0x58 + 16, 0x100);                  // entry
  put32(0x58 + 56, 0x1000);                 // size of image
  put32(0x58 + 60, 0x200);                  // size of headers
  put32(0x58 + 92, 16);                     // data directories
  return f;
}

struct BadImageCase {
  const char *name;
  std::size_t at;
  std::uint32_t value;
  unsigned width;
  const char *reason;
};

class LoaderRefuses : public ::testing::TestWithParam<BadImageCase> {};

TEST_P(LoaderRefuses, NamesTheFault) {
  EXPECT_NO_THROW(sim::PeImage::parse(MinimalPe32(), "good"));
  std::vector<std::uint8_t> f = MinimalPe32();
  std::memcpy(&f[GetParam().at], &GetParam().value, GetParam().width);
  try {
    sim::PeImage::parse(f, "bad.efi");
    FAIL() << "accepted";
  } catch (const std::runtime_error &e) {
    EXPECT_THAT(e.what(), HasSubstr(GetParam().reason));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, LoaderRefuses,
    ::testing::Values(BadImageCase{"no_mz", 0, 0x0000, 2, "no MZ or TE header"},
                      BadImageCase{"pe_offset_past_the_end", 0x3C, 0xFFFFFFF0, 4, "truncated headers"},
                      BadImageCase{"no_pe_signature", 0x40, 0x12345678, 4, "no PE signature"},
                      BadImageCase{"arm_machine", 0x44, 0xAA64, 2, "neither IA32 nor X64"},
                      BadImageCase{"pe32_plus_header_on_ia32", 0x58, 0x20B, 2, "does not fit the machine"},
                      BadImageCase{"entry_outside", 0x58 + 16, 0x2000, 4, "entry point outside the image"},
                      BadImageCase{"more_sections_than_the_file_holds", 0x46, 0xFFFF, 2, "truncated headers"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// A fixed mapping that fails says what the process has there: the arena's own range names the
// arena's mapping, a hole says so.
TEST(ImageEngine, AFailedFixedMappingNamesWhatLiesThere) {
  sim::Arena::instance();
  EXPECT_THAT(sim::mappings_over(sim::Arena::kBase + 0x1000, 0x1000), testing::StartsWith("40000000-48000000 rw-p"));
  EXPECT_EQ(sim::mappings_over(0x10000, 0x1000), "nothing mapped there now");
}
