// The SMBus host controller PPIs: whole register sequences for each operation and outcome.
#include <gtest/gtest.h>

#include <memory>

#include "board_fixture.h"
#include "pi/ppi/smbus.h"
#include "sb_pei/sb_pei.h"
#include "sequence_builder.h"
#include "sim/services/platform_hook.h"
#include "engines.h"

using namespace test;

namespace {

constexpr UINT16 kBase0 = 0x0B00, kBase1 = 0x0B20;
constexpr UINT8 kSpd = 0x50;

std::array<std::uint8_t, 256> SpdContents() {
  std::array<std::uint8_t, 256> m{};
  for (unsigned i = 0; i < 256; ++i) m[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  return m;
}

class SmbusTest : public BoardTest {
 protected:
  void SetUp() override {
    sb().pm.set(0x64, 16, 0x0808);
    sim::PlatformHook hook(core_, [](UINT32, SB_CONFIG &c) {
      c.SmbusBase0 = kBase0;
      c.SmbusBase1 = kBase1;
    });
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    spd_ = std::make_shared<sim::SpdEeprom>(SpdContents());
    sb().smbus0.add_device(kSpd, spd_);
    clear_trace();
  }
  // Through the module's PPI, as a later module calls it; `buffer` is a variable, an array
  // or nullptr, whose whole size the caller owns.
  template <typename Buffer>
  EFI_STATUS Execute(unsigned controller, UINT8 address, UINTN command, EFI_SMBUS_OPERATION op, UINTN *length,
                     Buffer &&buffer, BOOLEAN pec = FALSE) {
    EFI_SMBUS_DEVICE_ADDRESS a{};
    a.SmbusDeviceAddress = address;
    void *p = nullptr;
    std::size_t size = 0;
    if constexpr (std::is_array_v<std::remove_reference_t<Buffer>>) {
      p = buffer;
      size = sizeof buffer;
    } else if constexpr (!std::is_null_pointer_v<std::decay_t<Buffer>>) {
      p = buffer;
      size = sizeof *buffer;
    }
    return module_->smbus_execute(controller, a, command, op, pec, length, p, size);
  }
  // Only the register accesses (the I/O delay reads of port 0xED are left out).
  std::vector<sim::Access> Registers() const {
    std::vector<sim::Access> out;
    for (const sim::Access &a : trace())
      if (a.addr != 0xED) out.push_back(a);
    return out;
  }
  std::size_t Delays() const {
    std::size_t n = 0;
    for (const sim::Access &a : trace()) n += a.addr == 0xED;
    return n;
  }
  std::shared_ptr<sim::SpdEeprom> spd_;
};

using Smbus = test::OnEngine<SmbusTest>;
INSTANTIATE_TEST_SUITE_P(Engines, Smbus, ::testing::ValuesIn(test::Engines()), test::EngineNames());

// The host build's PPI, called directly.
class SmbusOnHost : public SmbusTest {
 protected:
  sim::Engine engine() const override { return sim::Engine::Host; }
  EFI_PEI_SMBUS_PPI *Ppi(unsigned instance) const {
    return static_cast<EFI_PEI_SMBUS_PPI *>(core_.locate(gEfiPeiSmbusPpiGuid, instance));
  }
};

// The semaphore taken at once, both idle waits passing on the first poll.
Seq Begin(UINT16 base = kBase0) {
  return Seq()
      .in(base + 8, 8, 0x00)
      .out(base + 8, 8, 0x10)
      .in(base + 8, 8, 0x10)
      .out(base + 0, 8, 0x1F)
      .in(base + 0, 8, 0x00)
      .out(base + 1, 8, 0x3F)
      .in(base + 1, 8, 0x00);
}

// One attempt up to the start; `preload` goes between the control read and the start.
Seq Attempt(UINT8 address, UINT8 command, UINT8 protocol, const Seq &preload = Seq(), UINT16 base = kBase0) {
  return Seq()
      .out(base + 0, 8, 0x1F)
      .out(base + 4, 8, address)
      .out(base + 3, 8, command)
      .out(base + 2, 8, protocol)
      .in(base + 2, 8, protocol)
      .then(preload)
      .out(base + 2, 8, protocol | 0x40);
}

// Host status cleared and the semaphore given back.
Seq End(UINT16 base = kBase0) {
  return Seq().out(base + 0, 8, 0x1F).in(base + 8, 8, 0x10).out(base + 8, 8, 0x30);
}

TEST_P(Smbus, ReadByteFromTheSpd) {
  UINT8 buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  UINTN len = 5;
  EXPECT_EQ(Execute(0, kSpd, 0x12, EfiSmbusReadByte, &len, buf), EFI_SUCCESS);
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(buf[0], 0x12 ^ 0x5A);
  EXPECT_EQ(buf[1], 0xEE);
  EXPECT_TRUE(TraceIs(Registers(), Seq()
                                       .then(Begin())
                                       .then(Attempt(0xA1, 0x12, 0x08))
                                       .in(kBase0, 8, 0x02)
                                       .in(kBase0 + 5, 8, 0x12 ^ 0x5A)
                                       .then(End())));
  for (const sim::Access &a : trace()) EXPECT_STREQ(a.via, "CpuIo");
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

TEST_P(Smbus, WriteOperationsClearTheDirectionBitAndPreload) {
  UINT8 w[2] = {0x34, 0x12};
  UINTN len = 2;
  EXPECT_EQ(Execute(0, kSpd, 0x40, EfiSmbusWriteWord, &len, w), EFI_SUCCESS);
  EXPECT_TRUE(TraceIs(Registers(), Seq()
                                       .then(Begin())
                                       .then(Attempt(0xA0, 0x40, 0x0C, Seq().out(kBase0 + 6, 8, 0x12).out(kBase0 + 5, 8, 0x34)))
                                       .in(kBase0, 8, 0x02)
                                       .then(End())));
  EXPECT_EQ(spd_->at(0x40), 0x34);
  EXPECT_EQ(spd_->at(0x41), 0x12);
}

TEST_P(Smbus, WriteBytePreloadsDataZero) {
  UINT8 b = 0x56;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x42, EfiSmbusWriteByte, &len, &b), EFI_SUCCESS);
  bool preloaded = false;
  for (const sim::Access &a : Registers()) preloaded |= a.op == sim::Op::Out && a.addr == kBase0 + 5u && a.value == 0x56;
  EXPECT_TRUE(preloaded);
  EXPECT_EQ(spd_->at(0x42), 0x56);
}

TEST_P(Smbus, ReadWordPutsTheLowByteFirstInTheBuffer) {
  UINT8 w[2] = {};
  UINTN len = 2;
  EXPECT_EQ(Execute(0, kSpd, 0x20, EfiSmbusReadWord, &len, w), EFI_SUCCESS);
  EXPECT_EQ(w[0], 0x20 ^ 0x5A);
  EXPECT_EQ(w[1], 0x21 ^ 0x5A);
  const auto r = Registers();
  // data 1 is read before data 0
  EXPECT_EQ(r[r.size() - 5].addr, kBase0 + 6u);
  EXPECT_EQ(r[r.size() - 4].addr, kBase0 + 5u);
}

TEST_P(Smbus, SendByteSendsTheBufferAndLeavesLengthAlone) {
  UINT8 b = 0x77;
  UINTN len = 0;
  EXPECT_EQ(Execute(0, kSpd, 0x99, EfiSmbusSendByte, &len, &b), EFI_SUCCESS);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(spd_->pointer(), 0x77);
  EXPECT_TRUE(TraceIs(Registers(), Seq()
                                       .then(Begin())
                                       .then(Attempt(0xA0, 0x77, 0x04, Seq().out(kBase0 + 5, 8, 0x77)))
                                       .in(kBase0, 8, 0x02)
                                       .then(End())));
}

TEST_P(Smbus, ReceiveByteReadsAtTheDevicePointer) {
  UINT8 b = 0, p = 0x30;
  UINTN len = 1;
  ASSERT_EQ(Execute(0, kSpd, 0, EfiSmbusSendByte, &len, &p), EFI_SUCCESS);
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusReceiveByte, &len, &b), EFI_SUCCESS);
  EXPECT_EQ(b, 0x30 ^ 0x5A);
}

TEST_P(Smbus, QuickOperationsAcceptNullLengthAndBuffer) {
  EXPECT_EQ(Execute(0, kSpd, 0x00, EfiSmbusQuickWrite, nullptr, nullptr, TRUE), EFI_SUCCESS);
  EXPECT_EQ(Execute(0, kSpd, 0x00, EfiSmbusQuickRead, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(sb().smbus0.transactions(), 2u);
  // Protocol 0 both ways; only the direction bit of the address tells them apart.
  EXPECT_TRUE(TraceIs(Registers(), Seq()
                                       .then(Begin())
                                       .then(Attempt(0xA0, 0x00, 0x00))
                                       .in(kBase0, 8, 0x02)
                                       .then(End())
                                       .then(Begin())
                                       .then(Attempt(0xA1, 0x00, 0x00))
                                       .in(kBase0, 8, 0x02)
                                       .then(End())));
}

TEST_P(Smbus, QuickReadWithPecIsUnsupportedAndStillReleasesTheController) {
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusQuickRead, nullptr, nullptr, TRUE), EFI_UNSUPPORTED);
  EXPECT_TRUE(TraceIs(Registers(), Seq().then(Begin()).then(End())));
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

TEST_P(Smbus, NullLengthOrBufferTouchesNothing) {
  UINT8 b = 0;
  UINTN len = 1;
  for (EFI_SMBUS_OPERATION op : {EfiSmbusReceiveByte, EfiSmbusSendByte, EfiSmbusReadByte, EfiSmbusWriteBlock,
                                 EfiSmbusProcessCall}) {
    EXPECT_EQ(Execute(0, kSpd, 0, op, nullptr, &b), EFI_INVALID_PARAMETER);
    EXPECT_EQ(Execute(0, kSpd, 0, op, &len, nullptr), EFI_INVALID_PARAMETER);
  }
  EXPECT_TRUE(trace().empty());
}

struct LengthCase {
  const char *name;
  EFI_SMBUS_OPERATION op;
  UINTN length_in;
  EFI_STATUS status;
  UINTN length_out;
  bool transaction;
};

using LengthRules = test::OnEngine<SmbusTest, LengthCase>;

TEST_P(LengthRules, CheckedAfterTheWaitsAndReleased) {
  const LengthCase c = Param();
  UINT8 buf[40] = {};
  UINTN len = c.length_in;
  EXPECT_EQ(Execute(0, kSpd, 0, c.op, &len, buf), c.status);
  EXPECT_EQ(len, c.length_out);
  EXPECT_EQ(sb().smbus0.transactions(), c.transaction ? 1u : 0u);
  if (!c.transaction) {
    EXPECT_TRUE(TraceIs(Registers(), Seq().then(Begin()).then(End())));
  }
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LengthRules,
    test::OnEngines<LengthCase>({LengthCase{"read_byte_0", EfiSmbusReadByte, 0, EFI_BUFFER_TOO_SMALL, 1, false},
                      LengthCase{"read_byte_5", EfiSmbusReadByte, 5, EFI_SUCCESS, 1, true},
                      LengthCase{"receive_byte_0", EfiSmbusReceiveByte, 0, EFI_BUFFER_TOO_SMALL, 1, false},
                      LengthCase{"write_byte_0", EfiSmbusWriteByte, 0, EFI_BUFFER_TOO_SMALL, 1, false},
                      LengthCase{"read_word_1", EfiSmbusReadWord, 1, EFI_BUFFER_TOO_SMALL, 2, false},
                      LengthCase{"write_word_9", EfiSmbusWriteWord, 9, EFI_SUCCESS, 2, true},
                      LengthCase{"read_block_0", EfiSmbusReadBlock, 0, EFI_INVALID_PARAMETER, 0, false},
                      LengthCase{"read_block_33", EfiSmbusReadBlock, 33, EFI_INVALID_PARAMETER, 33, false},
                      LengthCase{"write_block_33", EfiSmbusWriteBlock, 33, EFI_INVALID_PARAMETER, 33, false},
                      LengthCase{"read_block_32", EfiSmbusReadBlock, 32, EFI_SUCCESS, 32, true},
                      LengthCase{"write_block_1", EfiSmbusWriteBlock, 1, EFI_SUCCESS, 1, true},
                      LengthCase{"process_call", EfiSmbusProcessCall, 1, EFI_INVALID_PARAMETER, 1, false},
                      LengthCase{"bwbr_process_call", EfiSmbusBWBRProcessCall, 1, EFI_UNSUPPORTED, 1, false},
                      LengthCase{"operation_12", static_cast<EFI_SMBUS_OPERATION>(12), 1, EFI_INVALID_PARAMETER, 1,
                                 false},
                      LengthCase{"operation_255", static_cast<EFI_SMBUS_OPERATION>(255), 1, EFI_INVALID_PARAMETER, 1,
                                 false}}),
    test::EngineNames());

TEST_P(Smbus, BlockReadOfTheSpd) {
  UINT8 buf[32] = {};
  UINTN len = 32;
  ASSERT_EQ(Execute(0, kSpd, 0x40, EfiSmbusReadBlock, &len, buf), EFI_SUCCESS);
  EXPECT_EQ(len, 32u);
  for (unsigned i = 0; i < 32; ++i) EXPECT_EQ(buf[i], (0x40 + i) ^ 0x5A);
  Seq want = Seq().then(Begin()).then(Attempt(0xA1, 0x40, 0x14, Seq().out(kBase0 + 5, 8, 32))).in(kBase0, 8, 0x02);
  want.in(kBase0 + 2, 8, 0x14).in(kBase0 + 5, 8, 32);
  for (unsigned i = 0; i < 32; ++i) want.in(kBase0 + 7, 8, (0x40 + i) ^ 0x5A);
  EXPECT_TRUE(TraceIs(Registers(), want.then(End())));
}

TEST_P(Smbus, BlockWriteSendsEveryByte) {
  UINT8 data[3] = {1, 2, 3};
  UINTN len = 3;
  ASSERT_EQ(Execute(0, kSpd, 0x80, EfiSmbusWriteBlock, &len, data), EFI_SUCCESS);
  EXPECT_TRUE(TraceIs(Registers(), Seq()
                                       .then(Begin())
                                       .then(Attempt(0xA0, 0x80, 0x14,
                                                     Seq()
                                                         .out(kBase0 + 5, 8, 3)
                                                         .out(kBase0 + 7, 8, 1)
                                                         .out(kBase0 + 7, 8, 2)
                                                         .out(kBase0 + 7, 8, 3)))
                                       .in(kBase0, 8, 0x02)
                                       .then(End())));
  EXPECT_EQ(spd_->at(0x82), 3);
}

TEST_P(Smbus, BlockCountLargerThanAskedLeavesTheBuffer) {
  sb().smbus0.report_block_count(40);
  UINT8 buf[32];
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  UINTN len = 32;
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusReadBlock, &len, buf), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 40u);
  for (UINT8 b : buf) EXPECT_EQ(b, 0xEE);
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

TEST_P(Smbus, BlockCountZeroIsSuccessWithNothingRead) {
  sb().smbus0.report_block_count(0);
  UINT8 buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  UINTN len = 4;
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusReadBlock, &len, buf), EFI_SUCCESS);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(buf[0], 0xEE);
}

struct OutcomeCase {
  const char *name;
  std::vector<std::uint8_t> script;  // host status bits of each start
  EFI_STATUS status;
  unsigned starts;
};

using Outcomes = test::OnEngine<SmbusTest, OutcomeCase>;

TEST_P(Outcomes, RetriesCollisionsOnly) {
  const OutcomeCase c = Param();
  sb().smbus0.script_status(c.script);
  UINT8 b = 0xEE;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x05, EfiSmbusReadByte, &len, &b), c.status);
  EXPECT_EQ(sb().smbus0.transactions(), c.starts);
  EXPECT_EQ(len, 1u);
  std::size_t collision_clears = 0;
  for (const sim::Access &a : trace()) collision_clears += a.op == sim::Op::Out && a.addr == kBase0 && a.value == 0x08;
  std::size_t collisions = 0;
  for (unsigned i = 0; i < c.starts; ++i) collisions += c.script[i] == 0x08;
  EXPECT_EQ(collision_clears, collisions);
  if (c.status != EFI_SUCCESS) {
    EXPECT_EQ(b, 0xEE);  // nothing read back
  }
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

INSTANTIATE_TEST_SUITE_P(
    Status, Outcomes,
    test::OnEngines<OutcomeCase>({OutcomeCase{"done", {0x02}, EFI_SUCCESS, 1},
                      OutcomeCase{"done_with_busy_still_set", {0x03}, EFI_SUCCESS, 1},
                      OutcomeCase{"device_error", {0x04}, EFI_DEVICE_ERROR, 1},
                      OutcomeCase{"device_error_with_collision", {0x0C}, EFI_DEVICE_ERROR, 1},
                      OutcomeCase{"two_collisions_then_done", {0x08, 0x08, 0x02}, EFI_SUCCESS, 3},
                      OutcomeCase{"three_collisions", {0x08, 0x08, 0x08}, EFI_DEVICE_ERROR, 3},
                      OutcomeCase{"collision_then_device_error", {0x08, 0x04}, EFI_DEVICE_ERROR, 2}}),
    test::EngineNames());

TEST_P(Smbus, AnAbsentDeviceIsADeviceError) {
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, 0x33, 0, EfiSmbusReadByte, &len, &b), EFI_DEVICE_ERROR);
}

TEST_P(Smbus, HostStuckBusyGetsThreeAbortsAndTimesOut) {
  sb().smbus0.host_busy_forever();
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusReadByte, &len, &b), EFI_TIMEOUT);
  std::vector<std::size_t> aborts_after;
  std::size_t polls = 0;
  for (const sim::Access &a : trace()) {
    if (a.op == sim::Op::In && a.addr == kBase0) ++polls;
    if (a.op == sim::Op::Out && a.addr == kBase0 + 2u) aborts_after.push_back(polls);
  }
  EXPECT_EQ(aborts_after, (std::vector<std::size_t>{101, 202, 303}));
  EXPECT_EQ(sb().smbus0.transactions(), 0u);
  EXPECT_FALSE(sb().smbus0.firmware_holds());  // released all the same
}

TEST_P(Smbus, SlaveStuckBusyGetsThreeAbortsAndTimesOut) {
  sb().smbus0.slave_busy_forever();
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusReadByte, &len, &b), EFI_TIMEOUT);
  std::size_t aborts = 0;
  for (const sim::Access &a : trace()) aborts += a.op == sim::Op::Out && a.addr == kBase0 + 1u && a.value == 0x02;
  EXPECT_EQ(aborts, 3u);
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

TEST_P(Smbus, OnlyTheBusyBitOfAStatusRegisterMeansBusy) {
  sb().smbus0.repeat_slave_events(0x3E);  // every other slave status bit set again at once
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusReadByte, &len, &b), EFI_SUCCESS);
  EXPECT_EQ(sb().smbus0.transactions(), 1u);
  std::size_t aborts = 0;
  for (const sim::Access &a : trace()) aborts += a.op == sim::Op::Out && a.value == 0x02 && a.addr - kBase0 <= 2u;
  EXPECT_EQ(aborts, 0u);
}

TEST_P(Smbus, ATransactionThatNeverCompletesTimesOutAndReadsNothing) {
  sb().smbus0.never_completes();
  UINT8 b = 0xEE;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0, EfiSmbusReadByte, &len, &b), EFI_TIMEOUT);
  std::size_t polls = 0, data_reads = 0;
  for (const sim::Access &a : trace()) {
    polls += a.op == sim::Op::In && a.addr == kBase0;
    data_reads += a.op == sim::Op::In && a.addr == kBase0 + 5u;
  }
  EXPECT_EQ(polls, 1u + 10000u);  // the idle wait's one poll, then the completion polls
  EXPECT_EQ(Delays(), 2u * (2 + 10000));  // an I/O delay after each poll of the two idle waits and of the completion
  EXPECT_EQ(data_reads, 0u);
  EXPECT_EQ(sb().smbus0.transactions(), 1u);  // no retry
  EXPECT_EQ(b, 0xEE);
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

TEST_P(Smbus, WaitsForTheOtherAgentTouchingOnlyTheSemaphore) {
  sb().smbus0.hold_semaphore(3);
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x01, EfiSmbusReadByte, &len, &b), EFI_SUCCESS);
  const auto r = Registers();
  EXPECT_TRUE(TraceIs({r.begin(), r.begin() + 6}, Seq()
                                                     .in(kBase0 + 8, 8, 0x40)
                                                     .in(kBase0 + 8, 8, 0x40)
                                                     .in(kBase0 + 8, 8, 0x40)
                                                     .in(kBase0 + 8, 8, 0x00)
                                                     .out(kBase0 + 8, 8, 0x10)
                                                     .in(kBase0 + 8, 8, 0x10)));
  EXPECT_GE(Delays(), 3u * 2);  // an I/O delay (two reads of port 0xED) per busy look
}

TEST_P(Smbus, GivesItsClaimUpWhileTheOtherAgentClaims) {
  sb().smbus0.set_claimed(true);
  sb().smbus0.hold_semaphore(2);
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x01, EfiSmbusReadByte, &len, &b), EFI_SUCCESS);
  const auto r = Registers();
  EXPECT_TRUE(TraceIs({r.begin(), r.begin() + 5}, Seq()
                                                     .in(kBase0 + 8, 8, 0x50)
                                                     .out(kBase0 + 8, 8, 0x70)  // both claims: give ours up
                                                     .in(kBase0 + 8, 8, 0x40)
                                                     .in(kBase0 + 8, 8, 0x00)
                                                     .out(kBase0 + 8, 8, 0x10)));
}

TEST_P(Smbus, AClaimAlreadyHeldIsUsedWithoutWritingTheSemaphore) {
  sb().smbus0.set_claimed(true);
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x01, EfiSmbusReadByte, &len, &b), EFI_SUCCESS);
  const auto r = Registers();
  EXPECT_EQ(r[0].addr, kBase0 + 8u);
  EXPECT_EQ(r[0].value, 0x10u);
  EXPECT_EQ(r[1].addr, kBase0 + 0u);  // straight to the idle wait
}

TEST_P(Smbus, AnAgentThatNeverLetsGoEndsInATimeoutTouchingOnlyTheSemaphore) {
  sb().smbus0.hold_semaphore(-1);
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x01, EfiSmbusReadByte, &len, &b), EFI_TIMEOUT);
  for (const sim::Access &a : Registers()) ASSERT_EQ(a.addr, kBase0 + 8u) << describe(a);
  EXPECT_EQ(Registers().size(), 200'000u);  // the whole budget of looks, and not one more
}

TEST_P(Smbus, ReservedSemaphoreBitsReadAsSetAreNoClaim) {
  sb().smbus0.set_semaphore_reserved_bits(0x8F);
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x12, EfiSmbusReadByte, &len, &b), EFI_SUCCESS);
  EXPECT_EQ(b, 0x12 ^ 0x5A);
  EXPECT_FALSE(sb().smbus0.firmware_holds());
}

TEST_P(Smbus, ControllerOneDrivesOnlyItsOwnRegisters) {
  auto spd1 = std::make_shared<sim::SpdEeprom>(SpdContents());
  sb().smbus1.add_device(0x51, spd1);
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(1, 0x51, 0x07, EfiSmbusReadByte, &len, &b), EFI_SUCCESS);
  EXPECT_EQ(b, 0x07 ^ 0x5A);
  EXPECT_TRUE(TraceIs(Registers(), Seq()
                                       .then(Begin(kBase1))
                                       .then(Attempt(0xA3, 0x07, 0x08, Seq(), kBase1))
                                       .in(kBase1, 8, 0x02)
                                       .in(kBase1 + 5, 8, 0x07 ^ 0x5A)
                                       .then(End(kBase1))));
  EXPECT_EQ(sb().smbus0.transactions(), 0u);
}

TEST_P(Smbus, AddressBitsAboveSevenAreLostAndCommandIsItsLowByte) {
  UINT8 b = 0;
  UINTN len = 1;
  EXPECT_EQ(Execute(0, kSpd, 0x1234, EfiSmbusReadByte, &len, &b), EFI_SUCCESS);
  const auto r = Registers();
  EXPECT_EQ(r[8].addr, kBase0 + 4u);
  EXPECT_EQ(r[8].value, 0xA1u);
  EXPECT_EQ(r[9].value, 0x34u);
}

TEST_F(SmbusOnHost, TheOtherServicesAreUnsupportedAndTouchNothing) {
  auto **ps = const_cast<EFI_PEI_SERVICES **>(core_.services());
  EFI_SMBUS_DEVICE_ADDRESS a{};
  UINTN n = 0;
  EXPECT_EQ(Ppi(0)->ArpDevice(ps, Ppi(0), TRUE, nullptr, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(Ppi(0)->GetArpMap(ps, Ppi(0), &n, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(Ppi(1)->SetNotify(ps, Ppi(1), a, 0, nullptr), EFI_UNSUPPORTED);
  EXPECT_TRUE(trace().empty());
}

TEST_F(SmbusOnHost, ExecuteWithoutItsPpiTouchesNothing) {
  auto **ps = const_cast<EFI_PEI_SERVICES **>(core_.services());
  EFI_SMBUS_DEVICE_ADDRESS a{};
  UINTN n = 1;
  UINT8 b = 0;
  EXPECT_EQ(Ppi(0)->Execute(ps, nullptr, a, 0, EfiSmbusReadByte, FALSE, &n, &b), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(trace().empty());
}

// The installation: two instances in installation order, bases copied after the last hook.
class SmbusInstallTest : public BoardTest {
 protected:
  EFI_STATUS QuickWrite(unsigned instance, UINT8 address) {
    EFI_SMBUS_DEVICE_ADDRESS a{};
    a.SmbusDeviceAddress = address;
    return module_->smbus_execute(instance, a, 0, EfiSmbusQuickWrite, FALSE, nullptr, nullptr, 0);
  }
};
using SmbusEntry = test::OnEngine<SmbusInstallTest>;
INSTANTIATE_TEST_SUITE_P(Engines, SmbusEntry, ::testing::ValuesIn(test::Engines()), test::EngineNames());

TEST_P(SmbusEntry, BasesAreThoseOfTheLastHookPointButPmHasTheEarlierOnes) {
  sim::PlatformHook hook(core_, [](UINT32 point, SB_CONFIG &c) {
    c.SmbusBase0 = point == SbHookAfterInit ? 0x0C00 : kBase0;
    c.SmbusBase1 = kBase1;
  });
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  ASSERT_NE(core_.locate(gEfiPeiSmbusPpiGuid, 0), nullptr);
  ASSERT_NE(core_.locate(gEfiPeiSmbusPpiGuid, 1), nullptr);
  EXPECT_EQ(sb().pm.get(0x2C, 16) & 0xFFF0, 0x0B00u);
  clear_trace();
  QuickWrite(0, 0x50);
  EXPECT_EQ(trace().front().addr, 0x0C08u);  // the instance uses the base of the last hook point
}

TEST_P(SmbusEntry, AnInstanceWithNoBaseTouchesNothing) {
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);  // no platform hook: both bases stay 0
  clear_trace();
  EXPECT_EQ(QuickWrite(1, 0), EFI_DEVICE_ERROR);
  EXPECT_TRUE(trace().empty());
}

class SmbusInstall : public BoardTest {};

struct InstallFailureCase {
  const char *name;
  sim::PeiService service;
  unsigned nth;
  // EFI_SUCCESS with nothing handed back: a core that says yes and gives no pointer.
  EFI_STATUS injected = EFI_OUT_OF_RESOURCES;
  EFI_STATUS expected = EFI_OUT_OF_RESOURCES;
};

class SmbusInstallFailure : public BoardTest, public ::testing::WithParamInterface<InstallFailureCase> {};

TEST_P(SmbusInstallFailure, ReturnsTheErrorAndInstallsNothing) {
  const InstallFailureCase c = GetParam();
  SB_CONFIG config{};
  SB_PRIVATE_PPI private_ppi{0, kSbPrivateVersion, nullptr, &config};
  core_.install_ppi(gSbPrivatePpiGuid, &private_ppi);
  core_.fail_call(c.service, c.nth, c.injected);
  EXPECT_EQ(sbpei::InstallSmbusPpi(ps()), c.expected);
  EXPECT_EQ(core_.locate(gEfiPeiSmbusPpiGuid), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Injected, SmbusInstallFailure,
                         ::testing::Values(InstallFailureCase{"locate_private", sim::PeiService::LocatePpi, 1},
                                           InstallFailureCase{"records", sim::PeiService::AllocatePool, 1},
                                           InstallFailureCase{"descriptors", sim::PeiService::AllocatePool, 2},
                                           InstallFailureCase{"locate_private_null", sim::PeiService::LocatePpi, 1,
                                                              EFI_SUCCESS, EFI_NOT_FOUND},
                                           InstallFailureCase{"records_null", sim::PeiService::AllocatePool, 1,
                                                              EFI_SUCCESS},
                                           InstallFailureCase{"descriptors_null", sim::PeiService::AllocatePool, 2,
                                                              EFI_SUCCESS}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SmbusInstall, WithoutThePrivatePpiItReportsNotFound) {
  EXPECT_EQ(sbpei::InstallSmbusPpi(ps()), EFI_NOT_FOUND);
  EXPECT_EQ(core_.call_count(sim::PeiService::AllocatePool), 0u);
}

}  // namespace
