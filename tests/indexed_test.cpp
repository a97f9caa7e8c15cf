// PM, A-Link, misc and PM-window register spaces.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "sb_pei/register/indexed.h"

using namespace sbpei;
using namespace test;

namespace {

class Indexed : public BoardTest {};

TEST_F(Indexed, ReadPmWritesTheIndexBeforeEveryByte) {
  sb().pm.set(0x60, 32, 0x44332211);
  UINT8 buf[5] = {0, 0, 0, 0, 0xEE};
  ReadPm(0x60, 2, buf);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCD6, 8, 0x60), In(0xCD7, 8, 0x11), Out(0xCD6, 8, 0x61), In(0xCD7, 8, 0x22),
                                Out(0xCD6, 8, 0x62), In(0xCD7, 8, 0x33), Out(0xCD6, 8, 0x63), In(0xCD7, 8, 0x44)}));
  EXPECT_EQ(buf[4], 0xEE);
}

TEST_F(Indexed, PmIndexWrapsFromFFTo00) {
  sb().pm.set(0xFF, 0xAB);
  sb().pm.set(0x00, 0xCD);
  UINT8 buf[2] = {};
  ReadPm(0x1FF, 0x81, buf);  // only the low byte of the register number counts; 0x81 acts as 1
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCD6, 8, 0xFF), In(0xCD7, 8, 0xAB), Out(0xCD6, 8, 0x00), In(0xCD7, 8, 0xCD)}));
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(buf[1], 0xCD);
  EXPECT_EQ(sb().pm.index_port(), 0x00);  // left at the last register written
}

TEST_F(Indexed, RwPmOfOneByte) {
  sb().pm.set(0x24, 0x80);
  RwPm(0x24, 0, 0xFF, 0x01);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCD6, 8, 0x24), In(0xCD7, 8, 0x80), Out(0xCD6, 8, 0x24), Out(0xCD7, 8, 0x81)}));
}

TEST_F(Indexed, RwPmOfAWordWritesBothBytesBack) {
  sb().pm.set(0x2C, 16, 0xABCD);
  RwPm(0x2C, 1, 0x00000006, 0x0B01);
  EXPECT_EQ(sb().pm.get(0x2C, 16), 0x0B05u);
  EXPECT_EQ(trace().size(), 8u);
}

TEST_F(Indexed, PmWithABadWidthCodeMakesNoAccessAndMovesNoByte) {
  UINT8 buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (UINT8 code : {UINT8{3}, UINT8{0x83}, UINT8{0x7F}, UINT8{0xFF}}) {
    ReadPm(0x10, code, buf);
    WritePm(0x10, code, buf);
    RwPm(0x10, code, 0, 0xFFFFFFFF);
  }
  EXPECT_TRUE(TraceIs(trace(), {}));
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[7], 8);
}

TEST_F(Indexed, ReadPmWordPpiGoesThroughCpuIoLowByteFirst) {
  sb().pm.set(0xFF, 0x34);
  sb().pm.set(0x00, 0x12);
  EXPECT_EQ(ReadPmWordPpi(ps(), 0xFF), 0x1234);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCD6, 8, 0xFF), In(0xCD7, 8, 0x34), Out(0xCD6, 8, 0x00), In(0xCD7, 8, 0x12)}));
  for (const sim::Access &a : trace()) EXPECT_STREQ(a.via, "CpuIo");
}

TEST_F(Indexed, ReadAndWriteAlinkLeaveTheIndexAtZero) {
  sb().alink.set_reg(0x80000004, 0x1234);
  EXPECT_EQ(ReadAlink(0x80000004), 0x1234u);
  WriteAlink(0xC000009C, 0x55);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCD8, 32, 0x80000004), In(0xCDC, 32, 0x1234), Out(0xCD8, 32, 0),
                                Out(0xCD8, 32, 0xC000009C), Out(0xCDC, 32, 0x55), Out(0xCD8, 32, 0)}));
  EXPECT_EQ(sb().alink.reg(0xC000009C), 0x55u);
  EXPECT_EQ(sb().alink.index(), 0u);
}

struct AlinkCase {
  UINT32 address;
  enum { kClass0, kClass2, kDirect } path;
  UINT32 offset;  // what lands in the indirect index register (or the direct register)
};

class AlinkClasses : public Indexed, public ::testing::WithParamInterface<AlinkCase> {};

TEST_P(AlinkClasses, EachAddressClassTakesItsPath) {
  const AlinkCase c = GetParam();
  switch (c.path) {
    case AlinkCase::kClass0: sb().alink.set_class0(c.offset, 0xF0F0F0F0); break;
    case AlinkCase::kClass2: sb().alink.set_class2(c.offset, 0xF0F0F0F0); break;
    case AlinkCase::kDirect: sb().alink.set_reg(c.address, 0xF0F0F0F0); break;
  }
  RwAlink(c.address, 0xFFFF0000, 0x00000001);

  const UINT32 expected = 0xF0F00001;
  std::vector<Expected> seq;
  UINT32 target = c.address;
  if (c.path != AlinkCase::kDirect) {
    const UINT32 index = c.path == AlinkCase::kClass0 ? 0x30 : 0x40000038;
    target = c.path == AlinkCase::kClass0 ? 0x34 : 0x4000003C;
    seq = {Out(0xCD8, 32, index), Out(0xCDC, 32, c.offset), Out(0xCD8, 32, 0)};
  }
  // The indirect index is written once, before the read, and not again before the write.
  seq.insert(seq.end(), {Out(0xCD8, 32, target), In(0xCDC, 32, 0xF0F0F0F0), Out(0xCD8, 32, 0),
                         Out(0xCD8, 32, target), Out(0xCDC, 32, expected), Out(0xCD8, 32, 0)});
  EXPECT_TRUE(TraceIs(trace(), seq));
  const UINT32 stored = c.path == AlinkCase::kClass0   ? sb().alink.class0(c.offset)
                        : c.path == AlinkCase::kClass2 ? sb().alink.class2(c.offset)
                                                       : sb().alink.reg(c.address);
  EXPECT_EQ(stored, expected);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, AlinkClasses,
                         ::testing::Values(AlinkCase{0x00000010, AlinkCase::kClass0, 0x10},
                                           AlinkCase{0x1FFFFFFF, AlinkCase::kClass0, 0x1FFFFFFF},
                                           AlinkCase{0x20000000, AlinkCase::kDirect, 0x20000000},
                                           AlinkCase{0x400000A4, AlinkCase::kClass2, 0xA4},
                                           AlinkCase{0x5FFFFFFF, AlinkCase::kClass2, 0x1FFFFFFF},
                                           AlinkCase{0x60000000, AlinkCase::kDirect, 0x60000000},
                                           AlinkCase{0x80000088, AlinkCase::kDirect, 0x80000088},
                                           AlinkCase{0xE0000000, AlinkCase::kDirect, 0xE0000000}));

TEST_F(Indexed, ReadMisc80IsOneByteRead) {
  sb().misc.set(0x80, 8, 0x14);
  UINT8 m = 0;
  ReadMisc80(&m);
  EXPECT_EQ(m, 0x14);
  EXPECT_TRUE(TraceIs(trace(), {Rd(0xFED80E80, 8, 0x14)}));
}

TEST_F(Indexed, ReadPmWindowReadsBankOneAndClearsTheBankBit) {
  for (UINT8 before : {UINT8{0x00}, UINT8{0x20}, UINT8{0xFF}}) {
    clear_trace();
    sb().pm.set(0xC8, before);
    sb().pm.set_window(1, 0x1F, 0x70);
    sb().pm.set_window(0, 0x1F, 0x99);
    UINT8 data = 0x1F;
    ReadPmWindow(&data);
    EXPECT_EQ(data, 0x70);
    const UINT8 set = before | 0x20;
    EXPECT_TRUE(TraceIs(trace(), {Rd(0xFED803C8, 8, before), Wr(0xFED803C8, 8, set), Wr(0xFED803D8, 8, 0x1F),
                                  Rd(0xFED803D9, 8, 0x70), Rd(0xFED803C8, 8, set),
                                  Wr(0xFED803C8, 8, UINT8(before & ~0x20))}));
    EXPECT_EQ(sb().pm.get(0xC8) & 0x20, 0);  // cleared whatever it was before
    EXPECT_EQ(sb().pm.get(0xD8), 0x1F);      // the index is kept
  }
}

TEST_F(Indexed, PmRegistersAreOneStorageForPortsAndMemory) {
  const UINT32 v = 0xA5;
  WritePm(0x5D, 0, &v);
  UINT8 r = 0;
  sbpei::ReadPm(0x5D, 0, &r);
  EXPECT_EQ(machine().mem_read(0xFED8035D, 8), 0xA5u);
  machine().mem_write(0xFED80360, 16, 0x0900);
  UINT8 w[2] = {};
  ReadPm(0x60, 1, w);
  EXPECT_EQ(w[0], 0x00);
  EXPECT_EQ(w[1], 0x09);
}

}  // namespace
