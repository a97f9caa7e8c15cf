// The PCI and MMIO table walkers and the two fixed tables.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "board_fixture.h"
#include "fixed_tables.h"
#include "sb_pei/register/access.h"
#include "sb_pei/register/tables.h"

using namespace sbpei;
using namespace test;

namespace {

// An 8-bit read-modify-write of a PCI register as the walker makes it.
std::vector<Expected> PciRmw(UINT32 word, UINT8 old, UINT8 now) {
  const UINT32 cfg = PciConfigAddress(word);
  const UINT16 port = PciDataPort(word);
  return {Out(0xCF8, 32, cfg), In(port, 8, old), Out(0xCF8, 32, cfg), Out(port, 8, now)};
}

void Append(std::vector<Expected> &to, const std::vector<Expected> &more) { to.insert(to.end(), more.begin(), more.end()); }

class Tables : public BoardTest {};

struct CountCase {
  UINT16 units;
  std::size_t rmw;  // register entries applied
};

class PciUnitCounts : public Tables, public ::testing::WithParamInterface<CountCase> {};

TEST_P(PciUnitCounts, WalkTheCountedUnitsOnly) {
  const CountCase c = GetParam();
  // Header 0:11.0, then register entries 0x10, 0x11, ... each := 0x5A.
  std::vector<UINT8> table = {0x00, 0x88, 0xEE};
  for (UINT8 r = 0x10; r < 0x20; ++r) table.insert(table.end(), {r, 0x00, 0x5A});
  ProgramPciTable(table.data(), c.units);
  std::vector<Expected> want;
  for (std::size_t i = 0; i < c.rmw; ++i) Append(want, PciRmw(0x00880010 + i, 0, 0x5A));
  EXPECT_TRUE(TraceIs(trace(), want));
}

INSTANTIATE_TEST_SUITE_P(Counts, PciUnitCounts,
                         ::testing::Values(CountCase{0, 0}, CountCase{1, 0}, CountCase{2, 1}, CountCase{3, 2},
                                           CountCase{17, 16}));

TEST_F(Tables, SwitchMarkersRetargetEveryLaterEntry) {
  const UINT8 table[] = {
      0x00, 0x88, 0x77,  // header 0:11.0 (third byte never used)
      0x40, 0x00, 0x01,  //
      0xFF, 0xFF, 0xFF,  // switch to
      0x00, 0xA3, 0x66,  //   0:14.3 (third byte never used)
      0x41, 0x00, 0x02,  //
      0x42, 0x00, 0x03,  //
      0x45, 0xFF, 0xFF,  // every bit set: a register entry, as the first byte is not 0xFF
      0xFF, 0x00, 0x04,  // register 0xFF: a register entry, which reaches no register
      0x46, 0x00, 0x08,  //
      0xFF, 0x00, 0xFF,  // and so is this one (the middle byte is not 0xFF)
      0x47, 0x00, 0x09,  //
      0xFF, 0xFF, 0x07,  // and this one: a marker needs all three bytes 0xFF
      0xFF, 0xFF, 0xFF,  // switch to
      0x01, 0x08, 0x00,  //   1:1.0
      0x43, 0x00, 0x05,  //
      0xFF, 0xFF, 0xFF,  // closing marker in the last counted unit
      0x44, 0x00, 0x06,  // beyond the count: never read
  };
  ProgramPciTable(table, 17);
  std::vector<Expected> want;
  Append(want, PciRmw(0x00880040, 0, 0x01));
  Append(want, PciRmw(0x00A30041, 0, 0x02));
  Append(want, PciRmw(0x00A30042, 0, 0x03));
  Append(want, PciRmw(0x00A30045, 0, 0xFF));
  Append(want, PciRmw(0x00A30046, 0, 0x08));
  Append(want, PciRmw(0x00A30047, 0, 0x09));
  Append(want, PciRmw(0x01080043, 0xFF, 0x05));  // no function 1:1.0 on this board: reads float high
  EXPECT_TRUE(TraceIs(trace(), want));
}

TEST_F(Tables, AUnitCountAboveTheEightBitCounterEnds) {
  std::vector<UINT8> table = {0x00, 0x88, 0x00};
  for (int i = 0; i < 400; ++i) table.insert(table.end(), {0x40, 0x00, 0x01});
  machine().set_watchdog(100'000'000);  // a walk that never ends fails here instead of hanging
  for (UINT16 count : {UINT16{256}, UINT16{300}, UINT16{0xFFFF}}) {
    clear_trace();
    ASSERT_NO_THROW(ProgramPciTable(table.data(), count)) << count;
    EXPECT_EQ(trace().size(), 254u * 4) << count;  // units 2 to 255
  }
}

TEST_F(Tables, FixedPciTable) {
  std::map<UINT32, UINT8> reg;  // every register starts as 0xA5, so both masks show
  for (const RegisterStep &s : kFixedPciSteps) {
    reg[s.target] = 0xA5;
    machine().pci().find(0, (s.target >> 19) & 0x1F, (s.target >> 16) & 7)->set(s.target & 0xFF, 8, 0xA5);
  }
  ProgramPciTable(SbPciInitTable, 21);
  std::vector<Expected> want;
  for (const RegisterStep &s : kFixedPciSteps) {
    const UINT8 old = reg[s.target];
    reg[s.target] = (old & s.and_mask) | s.or_value;
    Append(want, PciRmw(s.target, old, reg[s.target]));
  }
  EXPECT_TRUE(TraceIs(trace(), want));
  EXPECT_EQ(sb().dev14_3->get(0xBB, 8), 0xBDu);  // written twice: 0xA5 -> 0xBD -> 0xBD
  EXPECT_EQ(sb().dev14_4->get(0x50, 8), 0x01u);
}

TEST_F(Tables, FixedMmioTable) {
  for (const RegisterStep &s : kFixedMmioSteps) machine().mem_write(s.target, 8, 0x5A);
  clear_trace();
  ProgramMmioTable(reinterpret_cast<UINTN>(SbMmioInitTable));
  std::vector<Expected> want;
  for (const RegisterStep &s : kFixedMmioSteps)
    Append(want, {Rd(s.target, 8, 0x5A), Wr(s.target, 8, (0x5A & s.and_mask) | s.or_value)});
  EXPECT_TRUE(TraceIs(trace(), want));
  EXPECT_EQ(sizeof(SbMmioInitTable), 96u);
}

TEST_F(Tables, MmioTableEndsAtTheFirstBlockOfF0OrMore) {
  const UINT8 table[] = {
      0xEF, 0x10, 0x00, 0x33,  // block 0xEF is valid: 0xFED8EF10
      0x0E, 0x80, 0xF0, 0x0C,  // misc 0x80
      0xF0, 0x00, 0x00, 0x00,  // end: only the block byte counts
      0x03, 0x24, 0x00, 0x01,
  };
  sb().misc.set(0x80, 8, 0xA5);
  ProgramMmioTable(reinterpret_cast<UINTN>(table));
  EXPECT_TRUE(TraceIs(trace(), {Rd(0xFED8EF10, 8, 0), Wr(0xFED8EF10, 8, 0x33), Rd(0xFED80E80, 8, 0xA5),
                                Wr(0xFED80E80, 8, 0xAC)}));
}

TEST_F(Tables, EmptyMmioTables) {
  const UINT8 ended[] = {0xFF, 0x00, 0x00, 0x00};
  const UINT8 ended_f5[] = {0xF5, 0x03, 0x00, 0xFF};
  ProgramMmioTable(0);
  ProgramMmioTable(reinterpret_cast<UINTN>(ended));
  ProgramMmioTable(reinterpret_cast<UINTN>(ended_f5));
  EXPECT_TRUE(TraceIs(trace(), {}));
}

// A single byte step given as an entry word does what the same four bytes do in a table.
TEST_F(Tables, AnEntryWordIsTheTableEntry) {
  struct Case {
    UINT32 address;
    UINT8 and_mask, or_value;
  };
  for (const Case c : {Case{0xFED803DA, 0xFB, 0x04}, Case{0xFED80E18, 0xE1, 0x10}, Case{0xFED80A12, 0x00, 0x01},
                       Case{0xFED803C8, 0xEF, 0x00}}) {
    const UINT32 word = MmioEntry(c.address, c.and_mask, c.or_value);
    const UINT8 table[] = {static_cast<UINT8>(c.address >> 8), static_cast<UINT8>(c.address), c.and_mask, c.or_value,
                           0xFF, 0xFF, 0xFF, 0xFF};
    UINT32 table_word = 0;
    std::memcpy(&table_word, table, 4);
    EXPECT_EQ(word, table_word) << std::hex << c.address;

    machine().mem_write(c.address, 8, 0x5A);
    clear_trace();
    ProgramMmioEntry(word);
    const std::vector<sim::Access> from_word = trace();
    machine().mem_write(c.address, 8, 0x5A);
    clear_trace();
    ProgramMmioTable(reinterpret_cast<UINTN>(table));
    EXPECT_TRUE(TraceIs(from_word, {Rd(c.address, 8, 0x5A), Wr(c.address, 8, (0x5A & c.and_mask) | c.or_value)}))
        << std::hex << c.address;
    EXPECT_TRUE(TraceIs(trace(), {Rd(c.address, 8, 0x5A), Wr(c.address, 8, (0x5A & c.and_mask) | c.or_value)}));
  }
}

}  // namespace
