// The ownership map and its verdicts, without an emulator: every kind of finding, and the
// accesses next to each that are not one.
#include <gtest/gtest.h>

#include <optional>

#include "sim/image/image_symbols.h"
#include "sim/machine/memory_check.h"

namespace {

using sim::MemoryCheck;
using Kind = sim::MemoryFindingKind;
using Use = MemoryCheck::Use;

constexpr std::uint64_t kStack = 0x1000, kStackEnd = 0x2000, kSp = 0x1800;
constexpr std::uint64_t kPool = 0x3000, kPoolSize = 24;  // poisoned 8 bytes each side
constexpr std::uint64_t kTable = 0x4000, kShared = 0x5000, kHobs = 0x6000, kMoved = 0x7000;

class MemoryCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_.add(kStack, kStackEnd - kStack, Use::Stack, "the stack");
    m_.add_buffer(kPool, kPoolSize, 8, 8, "24-byte pool buffer", "AllocatePool");
    m_.add(kTable, 0x40, Use::ReadOnly, "the PEI services table");
    m_.add(kShared, 0x10, Use::Writable, "a caller's buffer");
    m_.add_buffer(kHobs + 8, 16, 0, 0, "16-byte HOB", "CreateHob");
  }
  // The kind of the one new finding this access makes, if it makes one.
  std::optional<Kind> access(std::uint64_t address, unsigned size, bool write, std::uint64_t sp = kSp,
                             std::vector<std::uint8_t> code = {0x8B, 0x00}) {
    const std::size_t before = m_.findings().size();
    unsigned counted = before == 0 ? 0 : m_.findings().back().count;
    m_.check({address, size, write, 0, 0, "SbPei"}, [&] { return std::pair{0x30000100 + address, std::size_t{7}}; },
             [sp] { return sp; },
             [](std::uint64_t pc) { return "SbPei+" + std::to_string(pc - 0x30000000); },
             [&](std::uint64_t) { return code; });
    if (m_.findings().size() == before && (before == 0 || m_.findings().back().count == counted)) return std::nullopt;
    return m_.findings().back().kind;
  }
  MemoryCheck m_;
};

TEST_F(MemoryCheckTest, EachRegionJudgesReadsAndWrites) {
  struct Case {
    const char *what;
    std::uint64_t address;
    unsigned size;
    bool write;
    std::optional<Kind> expected;
  };
  const Case cases[] = {
      {"stack above the stack pointer", kSp + 0x10, 4, false, std::nullopt},
      {"stack at the stack pointer", kSp, 4, true, std::nullopt},
      {"a push's store, just below", kSp - 4, 4, true, std::nullopt},
      {"a read below the stack pointer", kSp - 4, 4, false, Kind::BelowStackPointer},
      {"a write well below it", kSp - 0x40, 4, true, Kind::BelowStackPointer},
      {"a write into pool", kPool, 8, true, std::nullopt},
      {"a read of what was written", kPool + 4, 4, false, std::nullopt},
      {"a read of pool never written", kPool + 8, 4, false, Kind::UninitializedRead},
      {"the same bytes again: told once", kPool + 8, 4, false, std::nullopt},
      {"the last byte of the buffer", kPool + kPoolSize - 1, 1, true, std::nullopt},
      {"one byte past the end", kPool + kPoolSize, 1, true, Kind::OutOfBounds},
      {"one byte before the start", kPool - 1, 1, false, Kind::OutOfBounds},
      {"a read that runs over the end", kPool + kPoolSize - 2, 4, false, Kind::OutOfBounds},
      {"someone's table, read", kTable + 8, 4, false, std::nullopt},
      {"someone's table, written", kTable + 8, 4, true, Kind::ReadOnlyWrite},
      {"a field the caller fills", kShared + 4, 4, true, std::nullopt},
      {"memory no one handed out", 0x9000, 4, false, Kind::Unowned},
      {"past the end of what is handed out", kShared + 0x10, 1, true, Kind::Unowned},
      {"a HOB's body, never written", kHobs + 8, 2, false, Kind::UninitializedRead},
  };
  for (const Case &c : cases) EXPECT_EQ(access(c.address, c.size, c.write), c.expected) << c.what;
}

TEST_F(MemoryCheckTest, AFindingSaysWhatWhereAndWhoseAndCountsRepeats) {
  ASSERT_EQ(access(kPool + kPoolSize + 2, 2, true), Kind::OutOfBounds);
  const sim::MemoryFinding &f = m_.findings().back();
  EXPECT_EQ(f.module, "SbPei");
  EXPECT_EQ(f.address, kPool + kPoolSize + 2);
  EXPECT_EQ(f.size, 2u);
  EXPECT_TRUE(f.write);
  EXPECT_EQ(f.trace_index, 7u);
  EXPECT_EQ(f.at, "SbPei+" + std::to_string(0x100 + kPool + kPoolSize + 2));
  EXPECT_EQ(f.region, "the poisoned zone after the 24-byte pool buffer at 0x3000 [0x3018, 0x3020), AllocatePool");
  EXPECT_NE(f.describe().find("out-of-bounds: SbPei write of 2 byte(s) at 0x301A"), std::string::npos) << f.describe();
  // The same instruction on the same region again is one finding, counted.
  const std::uint64_t pc = f.pc;
  m_.check({kPool + kPoolSize + 2, 2, true, 0, 0, "SbPei"}, [pc] { return std::pair{pc, std::size_t{9}}; },
           [] { return kSp; },
           [](std::uint64_t) { return ""; },
           [](std::uint64_t) { return std::vector<std::uint8_t>{}; });
  ASSERT_EQ(m_.findings().size(), 1u);
  EXPECT_EQ(m_.findings()[0].count, 2u);
}

TEST_F(MemoryCheckTest, FreedPoolIsAUseAfterFreeAndStaysSo) {
  ASSERT_EQ(access(kPool, 4, true), std::nullopt);
  EXPECT_FALSE(m_.free(kPool + 4, "FreePool"));  // not the start of a buffer
  ASSERT_TRUE(m_.free(kPool, "FreePool"));
  EXPECT_FALSE(m_.free(kPool, "FreePool"));  // twice
  EXPECT_EQ(access(kPool, 4, false), Kind::UseAfterFree);
  EXPECT_EQ(access(kPool + 8, 1, true), Kind::UseAfterFree);
  EXPECT_NE(m_.findings().back().region.find("freed 24-byte pool buffer"), std::string::npos);
  EXPECT_NE(m_.findings().back().region.find("freed by FreePool"), std::string::npos);
}

TEST_F(MemoryCheckTest, MovedMemoryKeepsWhatWasWrittenAndLeavesGoneRamBehind) {
  ASSERT_EQ(access(kHobs + 8, 8, true), std::nullopt);
  m_.move(kHobs, 0x100, kMoved, "temporary RAM given up");
  EXPECT_EQ(access(kHobs + 8, 4, false), Kind::TemporaryRamAfterSwitch);
  EXPECT_EQ(access(kHobs + 0x80, 4, true), Kind::TemporaryRamAfterSwitch);
  EXPECT_EQ(access(kMoved + 8, 8, false), std::nullopt);                   // written before the move
  EXPECT_EQ(access(kMoved + 16, 4, false), Kind::UninitializedRead);      // never written
}

TEST_F(MemoryCheckTest, WhatTheSimulatorWritesOrCopiesCountsAsWritten) {
  m_.wrote(kPool, 4);
  EXPECT_EQ(access(kPool, 4, false), std::nullopt);
  // A copy from the table (not tracked) is written; one from unwritten pool is not.
  m_.copied(kPool + 4, kTable, 4);
  m_.copied(kPool + 8, kPool + 16, 4);
  EXPECT_EQ(access(kPool + 4, 4, false), std::nullopt);
  EXPECT_EQ(access(kPool + 8, 4, false), Kind::UninitializedRead);
}

TEST_F(MemoryCheckTest, ForgetCutsRegionsAndAddReplacesThem) {
  m_.forget(kPool + 8, kPool + 16);
  EXPECT_EQ(access(kPool + 8, 4, true), Kind::Unowned);
  EXPECT_EQ(access(kPool + 4, 4, true), std::nullopt);   // the head stays the buffer
  EXPECT_EQ(access(kPool + 16, 4, true), std::nullopt);  // and the tail
  m_.add(kTable, 0x40, Use::Writable, "now writable");
  EXPECT_EQ(access(kTable + 8, 4, true), std::nullopt);
}

TEST_F(MemoryCheckTest, AStoreOfZeroOrAllOnesThroughAndOrIsNotAUseOfTheOldValue) {
  // andl $0, 4(%eax): how a compiler stores 0 in 4 bytes; orl $-1 likewise stores -1.
  EXPECT_EQ(access(kPool + 8, 4, false, kSp, {0x83, 0x60, 0x04, 0x00}), std::nullopt);
  EXPECT_EQ(access(kPool + 12, 4, false, kSp, {0x83, 0x48, 0x0C, 0xFF}), std::nullopt);
  // andl $1 keeps a bit of the old value: a use.
  EXPECT_EQ(access(kPool + 16, 4, false, kSp, {0x83, 0x60, 0x10, 0x01}), Kind::UninitializedRead);
}

TEST(OverwritesWithoutUsing, DecodesTheGroupOneImmediateForms) {
  struct Case {
    std::vector<std::uint8_t> code;
    bool is_64, expected;
  };
  const Case cases[] = {
      {{0x83, 0x60, 0x04, 0x00}, false, true},                          // and dword [eax+4], 0
      {{0x83, 0x20, 0x00}, false, true},                                // and dword [eax], 0
      {{0x80, 0x20, 0x00}, false, true},                                // and byte [eax], 0
      {{0x80, 0x08, 0xFF}, false, true},                                // or byte [eax], 0xFF
      {{0x83, 0x0C, 0x24, 0xFF}, false, true},                          // or dword [esp], -1 (SIB)
      {{0x81, 0xA0, 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0}, false, true},  // and dword [eax+0x100], 0
      {{0x66, 0x81, 0x08, 0xFF, 0xFF}, false, true},                    // or word [eax], 0xFFFF
      {{0x66, 0x81, 0x08, 0xFF, 0x7F}, false, false},                   // or word [eax], 0x7FFF
      {{0x83, 0x25, 0, 0, 0, 0, 0x00}, true, true},                     // and dword [rip+0], 0
      {{0x48, 0x83, 0x08, 0xFF}, true, true},                           // or qword [rax], -1
      {{0x48, 0x81, 0x08, 0xFF, 0xFF, 0xFF, 0x7F}, true, false},        // or qword [rax], 0x7FFFFFFF
      {{0x83, 0x60, 0x04, 0x01}, false, false},                         // and with 1
      {{0x83, 0x40, 0x04, 0x00}, false, false},                         // add, not and
      {{0x83, 0xE0, 0x00}, false, false},                               // and eax, 0: a register
      {{0x8B, 0x00}, false, false},                                     // mov: a plain read
      {{0x83, 0x60}, false, false},                                     // cut short
      {{0x67, 0x83, 0x20, 0x00}, false, false},                         // 16-bit addressing: not decoded
  };
  for (const Case &c : cases)
    EXPECT_EQ(sim::overwrites_without_using(c.code, c.is_64), c.expected) << ::testing::PrintToString(c.code);
}

}  // namespace

namespace {

TEST(ImageSymbols, NamesFunctionsFromTheLinkersMap) {
  // As lld-link /map writes them: publics and static symbols, the decorated names MSVC-style.
  const std::string map = R"( SbPei

  Address         Publics by Value              Rva+Base               Lib:Object

 0000:00000000       ___ImageBase               0000000000000000     <linker-defined>
 0001:00000084       _SbPeiEntry                00000000000002a4     t.efi.lto.obj

 entry point at         0001:00000084

 Static symbols

 0001:00000000       ?SbGetSleepBootMode@sbpei@@YAIPAPBUEFI_PEI_SERVICES@@@Z 0000000000000220     t.efi.lto.obj
 0001:0000004a       ?ReadWindow@?A0xAF8C47E0@sbpei@@YAEE@Z 000000000000026a     t.efi.lto.obj
)";
  const auto functions = sim::ImageSymbols::parse_map(map);
  const std::map<std::uint32_t, std::string> expected = {
      {0x220, "sbpei::SbGetSleepBootMode"}, {0x26A, "sbpei::ReadWindow"}, {0x2A4, "SbPeiEntry"}};
  EXPECT_EQ(functions, expected);
  EXPECT_EQ(sim::ImageSymbols::plain_name("?F@@YAXXZ"), "F");
  EXPECT_EQ(sim::ImageSymbols::plain_name("_CEntry"), "CEntry");
  EXPECT_EQ(sim::ImageSymbols::plain_name("plain"), "plain");
}

}  // namespace
