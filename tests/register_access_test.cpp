// Width-coded memory, I/O and PCI configuration access.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "sb_pei/register/access.h"
#include "sim/machine/machine.h"
#include "sim/devices/plain_devices.h"
#include "trace_expect.h"

using namespace sbpei;
using namespace test;

namespace {

constexpr UINT32 kMemBase = 0xFED80000;
constexpr UINT16 kPort = 0x0C50;

class RegisterAccess : public ::testing::Test {
 protected:
  RegisterAccess() : mem_(kMemBase, 0x1000, "ACPI"), ports_(kPort, 8, "P") {
    mem_.attach(machine_);
    ports_.attach(machine_);
    dev14f3_ = &machine_.pci().add(0, 0x14, 3);
    dev11_ = &machine_.pci().add(0, 0x11, 0);
  }
  const std::vector<sim::Access> &trace() const { return machine_.trace().entries(); }

  sim::Machine machine_;
  sim::Machine::Scope scope_{machine_};
  sim::MemoryBlock mem_;
  sim::PortRegisters ports_;
  sim::PciFunction *dev14f3_ = nullptr;
  sim::PciFunction *dev11_ = nullptr;
};

// A buffer whose bytes beyond the access must stay as they were.
std::array<UINT8, 6> Sentinel() { return {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6}; }

struct WidthCase {
  UINT8 code;
  unsigned bits;  // 0: no access at all
};

class WidthCodes : public RegisterAccess, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(WidthCodes, ReadMemMovesExactlyTheWidth) {
  const WidthCase c = GetParam();
  mem_.set(0x10, 32, 0x44332211);
  auto buf = Sentinel();
  ReadMem(kMemBase + 0x10, c.code, buf.data());
  if (c.bits == 0) {
    EXPECT_TRUE(TraceIs(trace(), {}));
    EXPECT_EQ(buf, Sentinel());
    return;
  }
  EXPECT_TRUE(TraceIs(trace(), {Rd(kMemBase + 0x10, c.bits, 0x44332211u & (c.bits == 32 ? ~0u : (1u << c.bits) - 1))}));
  const std::array<UINT8, 4> value{0x11, 0x22, 0x33, 0x44};
  for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(buf[i], i < c.bits / 8 ? value[i] : Sentinel()[i]) << "byte " << i;
}

TEST_P(WidthCodes, WriteIoTakesExactlyTheWidth) {
  const WidthCase c = GetParam();
  const std::array<UINT8, 4> value{0x11, 0x22, 0x33, 0x44};
  WriteIo(kPort | 0xABCD0000u, c.code, value.data());  // the port's upper 16 bits are ignored
  if (c.bits == 0) {
    EXPECT_TRUE(TraceIs(trace(), {}));
  } else {
    EXPECT_TRUE(TraceIs(trace(), {Out(kPort, c.bits, 0x44332211u & (c.bits == 32 ? ~0u : (1u << c.bits) - 1))}));
  }
}

TEST_P(WidthCodes, ReadIoAndWriteMemAndPci) {
  const WidthCase c = GetParam();
  ports_.set(kPort, 32, 0xDDCCBBAA);
  auto buf = Sentinel();
  ReadIo(kPort, c.code, buf.data());
  const UINT32 v = 0x87654321;
  WriteMem(kMemBase + 0x20, c.code, &v);
  auto pci = Sentinel();
  ReadPci(0x00A30040, c.code, pci.data());
  if (c.bits == 0) {
    EXPECT_TRUE(TraceIs(trace(), {}));
    EXPECT_EQ(buf, Sentinel());
    EXPECT_EQ(pci, Sentinel());
    return;
  }
  const UINT32 mask = c.bits == 32 ? ~0u : (1u << c.bits) - 1;
  EXPECT_TRUE(TraceIs(trace(), {In(kPort, c.bits, 0xDDCCBBAA & mask), Wr(kMemBase + 0x20, c.bits, v & mask),
                                Out(0xCF8, 32, 0x8000A340), In(0xCFC, c.bits)}));
  EXPECT_EQ(buf[c.bits / 8], Sentinel()[c.bits / 8]);
  EXPECT_EQ(pci[c.bits / 8], Sentinel()[c.bits / 8]);
}

TEST_P(WidthCodes, ReadModifyWriteDoesNothingOnABadCode) {
  const WidthCase c = GetParam();
  mem_.set(0x30, 32, 0xFFFFFFFF);
  RwMem(kMemBase + 0x30, c.code, 0xFFFFFFDF, 0x20);
  RwPci(0x00A3006C, c.code, 0, 0x5A);
  if (c.bits == 0) EXPECT_TRUE(TraceIs(trace(), {}));
  else EXPECT_EQ(trace().size(), 2u + 4u);
}

// The value forms make the same single access as the buffer forms, or none; a read that makes
// none gives 0.
TEST_P(WidthCodes, ValueFormsMakeOneAccessOfTheWidth) {
  const WidthCase c = GetParam();
  mem_.set(0x40, 32, 0x44332211);
  ports_.set(kPort, 32, 0xDDCCBBAA);
  const UINT32 from_mem = InMem(kMemBase + 0x40, c.code);
  const UINT32 from_io = InIo(kPort | 0xABCD0000u, c.code);
  OutMem(kMemBase + 0x48, c.code, 0x87654321);
  OutIo(kPort + 4, c.code, 0x87654321);
  if (c.bits == 0) {
    EXPECT_TRUE(TraceIs(trace(), {}));
    EXPECT_EQ(from_mem, 0u);
    EXPECT_EQ(from_io, 0u);
    return;
  }
  const UINT32 mask = c.bits == 32 ? ~0u : (1u << c.bits) - 1;
  EXPECT_EQ(from_mem, 0x44332211u & mask);
  EXPECT_EQ(from_io, 0xDDCCBBAAu & mask);
  EXPECT_TRUE(TraceIs(trace(), {Rd(kMemBase + 0x40, c.bits, 0x44332211u & mask), In(kPort, c.bits, 0xDDCCBBAAu & mask),
                                Wr(kMemBase + 0x48, c.bits, 0x87654321u & mask),
                                Out(kPort + 4, c.bits, 0x87654321u & mask)}));
}

INSTANTIATE_TEST_SUITE_P(All, WidthCodes,
                         ::testing::Values(WidthCase{0x00, 8}, WidthCase{0x01, 16}, WidthCase{0x02, 32},
                                           WidthCase{0x80, 8}, WidthCase{0x81, 16}, WidthCase{0x82, 32},
                                           WidthCase{0x03, 0}, WidthCase{0x83, 0}, WidthCase{0x7F, 0},
                                           WidthCase{0xFF, 0}),
                         [](const auto &info) { return "code_" + std::to_string(info.param.code); });

struct PciCase {
  UINT32 word;
  UINT8 width;
  bool reachable;
  UINT32 config_address;
  UINT16 data_port;
};

class PciAddressing : public RegisterAccess, public ::testing::WithParamInterface<PciCase> {};

TEST_P(PciAddressing, ConfigurationAddressAndByteLane) {
  const PciCase c = GetParam();
  auto buf = Sentinel();
  ReadPci(c.word, c.width, buf.data());
  if (!c.reachable) {
    EXPECT_EQ(InPci(c.word, c.width), 0u);  // the value form reads 0 from a register out of reach
    EXPECT_TRUE(TraceIs(trace(), {}));
    EXPECT_EQ(buf, Sentinel());
    return;
  }
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF8, 32, c.config_address), In(c.data_port, 8u << c.width)}));
}

INSTANTIATE_TEST_SUITE_P(
    Words, PciAddressing,
    ::testing::Values(PciCase{0x00A3006C, 2, true, 0x8000A36C, 0xCFC}, PciCase{0x00880042, 0, true, 0x80008840, 0xCFE},
                      PciCase{0x000000FE, 0, true, 0x800000FC, 0xCFE}, PciCase{0x00A30003, 1, true, 0x8000A300, 0xCFF},
                      PciCase{0x000000FF, 0, false, 0, 0}, PciCase{0x00000100, 0, false, 0, 0},
                      PciCase{0x00A301FE, 0, false, 0, 0}, PciCase{0x0000FFFF, 2, false, 0, 0}));

TEST(PciAddressWord, BuiltFromBusDeviceFunction) {
  EXPECT_EQ(PciAddress(0, 0x14, 3, 0x6C), 0x00A3006Cu);
  EXPECT_EQ(PciAddress(0, 0x11, 0, 0x42), 0x00880042u);
  EXPECT_EQ(PciAddress(0xFF, 0x1F, 7, 0xFE), 0xFFFF00FEu);
  EXPECT_EQ(PciConfigAddress(0xFFFF00FE), 0x80FFFFFCu);
}

TEST_F(RegisterAccess, RwPciSelectsTheRegisterForReadAndWrite) {
  dev14f3_->set(0x6C, 32, 0x12345678);
  RwPci(0x00A3006C, 2, 0xFFFF00FF, 0x00009900);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF8, 32, 0x8000A36C), In(0xCFC, 32, 0x12345678), Out(0xCF8, 32, 0x8000A36C),
                                Out(0xCFC, 32, 0x12349978)}));
  EXPECT_EQ(dev14f3_->get(0x6C, 32), 0x12349978u);
}

TEST_F(RegisterAccess, RwPciByteLaneReachesTheRightRegister) {
  dev11_->set(0x40, 32, 0xAABBCCDD);
  RwPci(0x00880042, 0x80, 0xF0, 0x05);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF8, 32, 0x80008840), In(0xCFE, 8, 0xBB), Out(0xCF8, 32, 0x80008840),
                                Out(0xCFE, 8, 0xB5)}));
  EXPECT_EQ(dev11_->get(0x40, 32), 0xAAB5CCDDu);
}

TEST_F(RegisterAccess, RwMemSetsOneBitAndKeepsTheOthers) {
  mem_.set(0x3C8, 8, 0x81);
  RwMem(kMemBase + 0x3C8, 0, 0xFFFFFFDF, 0x20);
  EXPECT_TRUE(TraceIs(trace(), {Rd(kMemBase + 0x3C8, 8, 0x81), Wr(kMemBase + 0x3C8, 8, 0xA1)}));
}

TEST_F(RegisterAccess, RwMemWithZeroAndMaskWritesTheValueAfterOneRead) {
  mem_.set(0x100, 32, 0xDEADBEEF);
  RwMem(kMemBase + 0x100, 2, 0, 0x00000CD8);
  EXPECT_TRUE(TraceIs(trace(), {Rd(kMemBase + 0x100, 32, 0xDEADBEEF), Wr(kMemBase + 0x100, 32, 0x00000CD8)}));
}

TEST_F(RegisterAccess, MaskBitsAboveTheWidthHaveNoEffect) {
  mem_.set(0x200, 32, 0x11223344);
  RwMem(kMemBase + 0x200, 1, 0xFFFF0000, 0xABCD0055);
  EXPECT_TRUE(TraceIs(trace(), {Rd(kMemBase + 0x200, 16, 0x3344), Wr(kMemBase + 0x200, 16, 0x0055)}));
  EXPECT_EQ(mem_.get(0x200, 32), 0x11220055u);
}

TEST_F(RegisterAccess, SixteenBitReadLeavesTheUpperBufferBytes) {
  mem_.set(0x40, 32, 0x99887766);
  UINT8 buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ReadMem(kMemBase + 0x40, 1, buf);
  EXPECT_EQ(buf[0], 0x66);
  EXPECT_EQ(buf[1], 0x77);
  EXPECT_EQ(buf[2], 0xEE);
  EXPECT_EQ(buf[3], 0xEE);
}

TEST_F(RegisterAccess, UnalignedPciAccessGoesToTheDataPortUnchanged) {
  // No alignment check: a 32-bit access at register 0x42 uses data port 0xCFE as given.
  const UINT32 v = 0x01020304;
  WritePci(0x00A30042, 2, &v);
  EXPECT_TRUE(TraceIs(trace(), {Out(0xCF8, 32, 0x8000A340), Out(0xCFE, 32, 0x01020304)}));
}

// A memory block's storage comes in chunks made on first write: what a test or board sees must
// not depend on where the chunks begin.
TEST(MemoryBlockStorage, ReadsBackAcrossChunksZerosUntilWrittenAndAllOnesPastTheEnd) {
  struct Case {
    const char *what;
    std::uint64_t offset;
    unsigned width;
    std::uint32_t fresh;  // before any write
    std::uint32_t written;
    std::uint32_t reads;
  };
  const Case cases[] = {
      {"within a chunk", 0x10, 32, 0, 0x44332211, 0x44332211},
      {"across a chunk boundary", 0xFE, 32, 0, 0x88776655, 0x88776655},
      {"the last byte", 0x2FF, 8, 0, 0x5A, 0x5A},
      {"half past the end: the write stops there", 0x2FE, 32, 0xFFFF0000, 0xDDCCBBAA, 0xFFFFBBAA},
      {"wholly past the end", 0x300, 16, 0xFFFF, 0x1234, 0xFFFF},
  };
  for (const Case &c : cases) {
    sim::MemoryBlock block(0xFED80000, 0x300, "B");
    EXPECT_EQ(block.get(c.offset, c.width), c.fresh) << c.what;
    block.set(c.offset, c.width, c.written);
    EXPECT_EQ(block.get(c.offset, c.width), c.reads) << c.what;
    block.clear();
    EXPECT_EQ(block.get(c.offset, c.width), c.fresh) << c.what;
  }
}

}  // namespace
