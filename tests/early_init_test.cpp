// The early southbridge programming, compared access by access for boards that take each
// decision both ways.
#include <gtest/gtest.h>

#include <map>

#include "board_fixture.h"
#include "fixed_tables.h"
#include "sb_pei/sb_pei.h"
#include "sequence_builder.h"
#include "sim/machine/arena.h"
#include "sim/machine/faults.h"
#include "sim/services/platform_hook.h"
#include "engines.h"

using namespace test;

namespace {

constexpr UINT32 kBase = 0xFEB00000;  // Dev14F3MmioBase of these boards

class EarlyInitTest : public BoardTest {
 protected:
  EarlyInitTest() {
    config_.SmbusBase0 = 0x0B00;
    config_.SmbusBase1 = 0x0B20;
    config_.Dev14F3MmioBase = kBase;
    config_.AcpiPm1EvtBlk = 0x800;
    config_.AcpiPm1CntBlk = 0x804;
    config_.AcpiPmTmrBlk = 0x808;
    config_.AcpiCpuCntBlk = 0x810;
    config_.AcpiGpe0Blk = 0x820;
    block_.attach(machine());
  }
  // The entry with the block holding `config_` when the early programming starts (the
  // platform fills it at the hook point just before); the accesses from that hook point to
  // the next are the early programming's. A reset that takes hold is rethrown.
  void Run() {
    sim::PlatformHook hook(core_, [this](UINT32 point, SB_CONFIG &c) {
      if (point != SbHookBeforeInit) return;
      const UINT32 services = c.PeiServices, platform_hook = c.PlatformHook;
      c = config_;
      c.PeiServices = services;
      c.PlatformHook = platform_hook;
    });
    RunEntry();
    const auto &calls = hook.calls();
    ASSERT_GE(calls.size(), 2u);
    const auto &all = BoardTest::trace();
    const std::size_t to = calls.size() > 2 ? calls[2].accesses_before : all.size();
    early_.assign(all.begin() + static_cast<std::ptrdiff_t>(calls[1].accesses_before),
                  all.begin() + static_cast<std::ptrdiff_t>(to));
    config_ = *calls[1].config;
    if (core_.reset()) throw *core_.reset();
  }
  const std::vector<sim::Access> &trace() const { return early_; }
  std::vector<sim::Access> Trace() const { return CollapseStalls(trace(), config_.AcpiPmTmrBlk); }
  // The accesses from the first one that `first` matches on.
  std::vector<sim::Access> TraceFrom(const Expected &first) const {
    const auto all = Trace();
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].op == first.op && all[i].addr == first.addr && (!first.value || all[i].value == *first.value))
        return {all.begin() + static_cast<std::ptrdiff_t>(i), all.end()};
    }
    return {};
  }

  SB_CONFIG config_{};
  sim::MemoryBlock block_{kBase, 0x100, "DEV14F3_MMIO"};
  std::vector<sim::Access> early_;
};

using EarlyInit = test::OnEngine<EarlyInitTest>;
INSTANTIATE_TEST_SUITE_P(Engines, EarlyInit, ::testing::ValuesIn(test::Engines()), test::EngineNames());

// Steps 1-5: PM 0x24 through the ports, the A-Link port base, the fixed A-Link writes.
Seq WindowsAndAlinkStart() {
  return Seq()
      .pm_port_rmw(0x24, 0x00, 0x01)
      .pm_rmw(0xE0, 32, 0, 0x00000CD8)
      .alink_write(0x80000004, 0x00000004)
      .alink_read(0xC000009C, 0)
      .alink_write(0xC000009C, 0x00000001)
      .alink_write(0x00000030, 0x00000010)
      .alink_read(0x00000034, 0)
      .alink_write(0x00000034, 0x00000200);
}

// Step 7 on registers that start at 0.
Seq AlinkSteps() {
  return Seq()
      .alink_write(0x40000038, 0xA4)
      .alink_read(0x4000003C, 0)
      .alink_write(0x4000003C, 0x00000001)
      .alink_read(0x80000088, 0)
      .alink_write(0x80000088, 0x00000002)
      .alink_write(0x40000038, 0xA4)
      .alink_read(0x4000003C, 0x00000001)
      .alink_write(0x4000003C, 0x00040001);
}

// Steps 13-14 with the default ACPI bases, on PM registers that start at 0.
Seq AcpiBases(UINT16 reg6a, UINT16 reg6c) {
  return Seq()
      .pm_rmw(0x60, 16, 0, 0x800)
      .pm_rmw(0x62, 16, 0, 0x804)
      .pm_rmw(0x64, 16, 0, 0x808)
      .pm_rmw(0x66, 16, 0, 0x810)
      .pm_rmw(0x68, 16, 0, 0x820)
      .pm_rmw(0x6A, 16, 0, reg6a)
      .pm_rmw(0x6C, 16, 0, reg6c)
      .pm_rmw(0x6E, 16, 0, static_cast<UINT16>(reg6a + 8));
}

// The fixed MMIO table on registers that hold 0 but for those named in `old`.
Seq FixedMmio(std::map<UINT32, UINT8> old) {
  Seq s;
  for (const RegisterStep &r : kFixedMmioSteps) {
    const UINT8 before = old[r.target];
    old[r.target] = (before & r.and_mask) | r.or_value;
    s.rmw(r.target, 8, before, old[r.target]);
  }
  return s;
}

Seq FixedPci() {
  std::map<UINT32, UINT8> reg;
  Seq s;
  for (const RegisterStep &r : kFixedPciSteps) {
    const UINT8 before = reg[r.target];
    reg[r.target] = (before & r.and_mask) | r.or_value;
    s.pci_rmw(r.target, 8, before, reg[r.target]);
  }
  return s;
}

// Step 18: bits 0-5 of 0:11.0 register 0x42 pulsed, 2 us each way.
Seq PulseTrain() {
  Seq s;
  for (unsigned bit = 0; bit < 6; ++bit) {
    s.pci_rmw(0x00880042, 8, 0, 1u << bit).stall(2).pci_rmw(0x00880042, 8, 1u << bit, 0).stall(2);
  }
  return s;
}

// Steps 27-36 on a quiet board (misc 0x80 bit 4 clear: PM 0xC2/0xC4 left alone).
Seq QuietTail() {
  return Seq()
      .pci_rmw(0x00A3006C, 32, 0, 0)
      .pm_rmw(0xDA, 8, 0, 0x00)
      .rd(0xFED803DA, 8, 0x00)
      .pci_rmw(0x00A30044, 32, 0, 0xFF03FFD5)
      .out(0xC00, 8, 0x09)
      .in(0xC01, 8, 0x00)
      .out(0xC01, 8, 0x10)
      .rd(0xFED80E80, 8, 0x00)
      .misc_rmw(0x00, 32, 0, 0xFFFFFFFF)
      .misc_rmw(0x04, 8, 0, 0xFF)
      .pm_rmw(0x88, 8, 0, 0x20);
}

// Step 25 with RTC register A at 0.
Seq RtcRegisterA() { return Seq().out(0x70, 8, 0x0A).in(0x71, 8, 0x00).out(0x71, 8, 0x00); }

// Board A: a quiet board (every register 0), A-Link steps and the memory block enabled,
// no options.
TEST_P(EarlyInit, QuietBoardWithAlinkAndMemoryBlock) {
  config_.SbFlags = kSbFlagAlinkSteps | kSbFlagProgramDev14F3Mmio;
  Run();
  const Seq want = Seq()
                       .then(WindowsAndAlinkStart())
                       .window(0x1F, 0x00, 0x00)  // not 0x70: index 0x1E is not read
                       .then(AlinkSteps())
                       .pci_write(0x00A30064, 16, 0x0000)
                       .pci_rmw(0x00A300A0, 32, 0, kBase)
                       .pci_rmw(0x00A3009C, 32, 0, 0x00000001)
                       .pm_rmw(0x2C, 16, 0, 0x0B01)
                       .pm_rmw(0x28, 16, 0, 0x0B20)
                       .then(AcpiBases(0, 0))
                       .pm_rmw(0x48, 32, 0, 0)
                       .window(0x15, 0x00, 0x00)
                       .then(FixedMmio({{0xFED80328, 0x20}}))
                       .then(PulseTrain())
                       .rd(0xFED80E80, 8, 0x00)  // mode 0 with misc 0x80 bit 2 clear becomes 1
                       .rmw(kBase + 0x0, 32, 0, 0x07080000)
                       .rmw(kBase + 0xC, 32, 0, 0x00010000)
                       .rmw(kBase + 0xC, 16, 0x0000, 0x1000)
                       .rmw(kBase + 0x0, 32, 0x07080000, 0x07080000)  // bit 18 follows MiscOptions bit 8
                       .then(FixedPci())
                       .then(RtcRegisterA())
                       .then(QuietTail());
  EXPECT_TRUE(TraceIs(Trace(), want));
  EXPECT_EQ(config_.MiscOptions, 0x10u);  // the mode written back
  EXPECT_EQ(sb().pm.get(0x24), 0x01);
}

// Board B: the PM window disables the A-Link steps; every option bit set; busy registers.
TEST_P(EarlyInit, OptionsSetAndAlinkStepsVetoedByTheWindow) {
  config_.SbFlags = kSbFlagAlinkSteps;  // memory block steps off
  config_.Dev14F3Reg64 = 0x1234;
  config_.Dev14F3Reg9C = 0xFFFFFFFF;  // plus one wraps to 0
  config_.PmReg48 = 0x11223344;
  config_.PmReg6A = 0x0900;
  config_.PmReg6C = 0x0A00;
  config_.PmRegDA = 0x12;
  config_.MiscOptions = 0x0001053F;  // bits 0-2, 3, mode 3, bit 8, field B = 2, bit 16
  sb().pm.set_window(1, 0x1F, 0x70);
  sb().pm.set_window(1, 0x1E, 0x02);
  sb().pm.set_window(1, 0x15, 0x01);
  sb().misc.set(0x80, 8, 0x14);
  sb().dev14_3->set(0x6C, 32, 0xFFFFFFFF);
  sb().io_c00.set(0x09, 0xFF);
  Run();
  const Seq want = Seq()
                       .then(WindowsAndAlinkStart())
                       .window(0x1F, 0x00, 0x70)
                       .window(0x1E, 0x00, 0x02)  // no step 7
                       .pci_write(0x00A30064, 16, 0x1234)
                       .pci_rmw(0x00A300A0, 32, 0, kBase)
                       .pci_rmw(0x00A3009C, 32, 0, 0x00000000)
                       .pm_rmw(0x2C, 16, 0, 0x0B01)
                       .pm_rmw(0x28, 16, 0, 0x0B20)
                       .then(AcpiBases(0x0900, 0x0A00))
                       .pm_rmw(0x48, 32, 0, 0x11223344)
                       .window(0x15, 0x00, 0x01)
                       .then(FixedMmio({{0xFED80328, 0x20}, {0xFED80348, 0x44}}))
                       .then(PulseTrain())
                       .rd(0xFED80E80, 8, 0x14)                    // mode 3 stays 3
                       .rmw(kBase + 0x0, 32, 0, 0x00040000)         // bit 18 set from MiscOptions bit 8
                       .rmw(kBase + 0xC, 16, 0, 0x8000)             // field B = 2 into bits 14-15
                       .then(FixedPci())
                       .out(0x70, 8, 0x0A)
                       .in(0x71, 8, 0x00)
                       .out(0x71, 8, 0x00)
                       .pci_rmw(0x00A3006C, 32, 0xFFFFFFFF, 0xFFFFFF8F)  // bits 4-6 cleared
                       .pm_rmw(0xDA, 8, 0, 0x10)                          // bit 1 always written 0
                       .pm_rmw(0xDA, 8, 0x10, 0x14)                       // window index 0x15 bit 0
                       .rd(0xFED803DA, 8, 0x14)
                       .misc_rmw(0x08, 8, 0, 0x20)                        // upper nibble 1
                       .pci_rmw(0x00A30044, 32, 0, 0x0003C000)
                       .out(0xC00, 8, 0x09)
                       .in(0xC01, 8, 0xFF)
                       .out(0xC01, 8, 0x9F)  // bits 5-6 cleared, bits 1-2 kept, bit 4 set
                       .rd(0xFED80E80, 8, 0x14)
                       .rd(0xFED803C4, 8, 0x14)  // bit 2 set by the fixed table
                       .pm_rmw(0xC2, 8, 0x40, 0x60)
                       .misc_rmw(0x00, 32, 0, 0xFFFFFFFF)
                       .misc_rmw(0x04, 8, 0, 0xFF)
                       .pm_rmw(0x88, 8, 0, 0x20);
  EXPECT_TRUE(TraceIs(Trace(), want));
  EXPECT_EQ(config_.MiscOptions, 0x0001053Fu);
}

TEST_P(EarlyInit, WindowShowingTheOptionWithAnotherRevisionKeepsTheAlinkSteps) {
  config_.SbFlags = kSbFlagAlinkSteps;
  sb().pm.set_window(1, 0x1F, 0x70);
  sb().pm.set_window(1, 0x1E, 0x03);
  Run();
  const Seq want =
      Seq().then(WindowsAndAlinkStart()).window(0x1F, 0, 0x70).window(0x1E, 0, 0x03).then(AlinkSteps());
  const auto t = Trace();
  EXPECT_TRUE(TraceIs({t.begin(), t.begin() + static_cast<std::ptrdiff_t>(want.get().size())}, want));
}

TEST_P(EarlyInit, NoAlinkStepsWithoutTheFlagWhateverTheWindowHolds) {
  config_.SbFlags = 0;
  Run();
  const Seq want = Seq().then(WindowsAndAlinkStart()).window(0x1F, 0, 0).pci_write(0x00A30064, 16, 0);
  const auto t = Trace();
  EXPECT_TRUE(TraceIs({t.begin(), t.begin() + static_cast<std::ptrdiff_t>(want.get().size())}, want));
}

// Each step is chosen by its own flag bit: every other bit of SbFlags set selects neither the
// A-Link steps nor the memory block's steps.
TEST_P(EarlyInit, TheOtherFlagBitsSelectNeitherTheAlinkStepsNorTheMemoryBlock) {
  config_.SbFlags = 0xEB;  // all but bit 4 (A-Link steps) and bit 2 (memory block), as the platform sees them
  Run();
  const Seq want = Seq().then(WindowsAndAlinkStart()).window(0x1F, 0, 0).pci_write(0x00A30064, 16, 0);
  const auto t = Trace();
  EXPECT_TRUE(TraceIs({t.begin(), t.begin() + static_cast<std::ptrdiff_t>(want.get().size())}, want));
  EXPECT_EQ(block_.get(0x0, 32), 0u);
  EXPECT_EQ(block_.get(0xC, 32), 0u);
}

struct ModeCase {
  const char *name;
  UINT32 mode_before;
  UINT8 misc80;
  UINT32 mode_after;
};

using ModeField = test::OnEngine<EarlyInitTest, ModeCase>;

TEST_P(ModeField, ResolvedFromMisc80AndWrittenToTheBlock) {
  const ModeCase c = Param();
  config_.SbFlags = kSbFlagProgramDev14F3Mmio;
  config_.MiscOptions = 0xFFFFFFCF | c.mode_before << 4;
  sb().misc.set(0x80, 8, c.misc80);
  Run();
  EXPECT_EQ(config_.MiscOptions, 0xFFFFFFCF | c.mode_after << 4);
  EXPECT_EQ((block_.get(0xC, 16) >> 12) & 3, c.mode_after);
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeField,
                         test::OnEngines<ModeCase>({{"mode0_misc80_clear", 0, 0x00, 1},
                                                    {"mode1_misc80_clear", 1, 0x00, 1},
                                                    {"mode0_misc80_bit2", 0, 0x04, 2},
                                                    {"mode1_misc80_bit2", 1, 0x04, 2},
                                                    {"mode2", 2, 0x00, 2},
                                                    {"mode3_misc80_bit2", 3, 0x04, 3},
                                                    {"mode3_misc80_clear", 3, 0x00, 3}}),
                         test::EngineNames());

// Registers that keep what an earlier boot left in them: every read-modify-write keeps exactly
// the bits its mask keeps. Each case takes the option-driven decisions a different way.
struct WarmCase {
  const char *name;
  UINT32 options;        // MiscOptions as the platform sets it
  UINT8 reg_da;          // PmRegDA
  UINT8 misc80;          // misc 0x80 as found
  bool table_clears_c4;  // a platform table clears PM 0xC4 bit 2 and sets bit 0
  UINT8 c2_before;       // PM 0xC2 as found
  // Expected afterwards.
  UINT32 options_after, pci_6c, pci_44;
  UINT8 pm_da, misc08, c00_9, pm_c2, pm_c4;
};

using WarmRegisters = test::OnEngine<EarlyInitTest, WarmCase>;

TEST_P(WarmRegisters, EachStepKeepsTheBitsItsMaskKeeps) {
  const WarmCase c = Param();
  config_.SbFlags = kSbFlagAlinkSteps | kSbFlagProgramDev14F3Mmio;
  config_.SmbusBase0 = 0x0B01;   // an odd base: bit 0 of PM 0x2C then comes from neither side
  config_.Dev14F3Reg9C = 1;      // plus one: bit 0 of what is written is clear
  config_.MiscOptions = c.options;
  config_.PmRegDA = c.reg_da;
  if (c.table_clears_c4) {
    static const UINT8 table[] = {0x03, 0xC4, 0xFA, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    auto *copy = static_cast<UINT8 *>(sim::Arena::instance().allocate(sizeof table));
    std::copy(std::begin(table), std::end(table), copy);
    config_.PlatformMmioTable = static_cast<UINT32>(reinterpret_cast<UINTN>(copy));
  }
  // What the fixed tables program, all found with every bit set (PM 0x28/0x48 are written whole
  // just before the table, PM 0xC2/0xC4 are changed again after it: checked apart).
  const auto device = [&](UINT32 word) {
    const UINT32 devfn = word >> 16 & 0xFF;
    return devfn == 0x88 ? sb().dev11_0 : devfn == 0xA3 ? sb().dev14_3 : sb().dev14_4;
  };
  const auto apart = [](UINT32 target) {
    return target == 0xFED80328 || target == 0xFED80348 || target == 0xFED803C2 || target == 0xFED803C4;
  };
  // The PM block lies over the ACPI MMIO area at 0xFED80300.
  const auto set_mmio = [&](UINT32 target, UINT8 v) {
    if ((target & ~0xFFu) == 0xFED80300) sb().pm.set(static_cast<UINT8>(target), v);
    else sb().acpi_mmio.set(target - sim::Southbridge::kAcpiMmioBase, 8, v);
  };
  const auto get_mmio = [&](UINT32 target) -> UINT32 {
    if ((target & ~0xFFu) == 0xFED80300) return sb().pm.get(static_cast<UINT8>(target));
    return sb().acpi_mmio.get(target - sim::Southbridge::kAcpiMmioBase, 8);
  };
  std::map<UINT32, UINT8> pci_after, mmio_after;
  for (const RegisterStep &r : kFixedPciSteps) {
    device(r.target)->set(r.target & 0xFF, 8, 0xFF);
    pci_after.try_emplace(r.target, 0xFF);
    pci_after[r.target] = (pci_after[r.target] & r.and_mask) | r.or_value;
  }
  for (const RegisterStep &r : kFixedMmioSteps) {
    if (apart(r.target)) continue;
    set_mmio(r.target, 0xFF);
    mmio_after.try_emplace(r.target, 0xFF);
    mmio_after[r.target] = (mmio_after[r.target] & r.and_mask) | r.or_value;
  }
  sb().pm.set(0x24, 0x80);
  sb().alink.set_reg(0xC000009C, 0x80000000);
  sb().alink.set_class2(0xA4, 0x80000000);
  sb().alink.set_reg(0x80000088, 0xFFFFFFFF);
  sb().dev14_3->set(0xA0, 32, 0xFFFFFFFF);
  sb().dev14_3->set(0x9C, 32, 0xFFFFFFFF);
  sb().pm.set(0x2C, 16, 0x0007);
  sb().pm.set(0x60, 16, 0x0801);
  sb().pm.set(0x6E, 16, 0x00FF);
  sb().dev11_0->set(0x42, 8, 0xC0);
  sb().misc.set(0x80, 8, c.misc80);
  block_.set(0x0, 32, 0x80000001);
  block_.set(0xC, 32, 0xFFFFFFFF);
  sb().dev14_3->set(0x6C, 32, 0xFFFFFFFF);
  sb().pm.set(0xDA, 0xFF);
  sb().pm.set_window(1, 0x15, 0x01);
  sb().misc.set(0x08, 8, 0xFF);
  sb().dev14_3->set(0x44, 32, 0xFFFFFFFF);
  sb().io_c00.set(0x09, 0xFF);
  sb().pm.set(0xC2, c.c2_before);
  sb().pm.set(0xC4, 0x01);
  sb().pm.set(0x88, 0x01);
  Run();

  EXPECT_EQ(sb().pm.get(0x24), 0x81);
  EXPECT_EQ(sb().alink.reg(0xC000009C), 0x80000001u);
  EXPECT_EQ(sb().alink.class2(0xA4), 0x80040001u);
  EXPECT_EQ(sb().alink.reg(0x80000088), 0xFFFFFFF2u);
  EXPECT_EQ(sb().dev14_3->get(0xA0, 32), kBase | 0x1F);
  EXPECT_EQ(sb().dev14_3->get(0x9C, 32), 2u);
  EXPECT_EQ(sb().pm.get(0x2C, 16), 0x0B06u);  // bits 1-2 kept, base plus one
  EXPECT_EQ(sb().pm.get(0x60, 16), 0x0800u);
  EXPECT_EQ(sb().pm.get(0x6E, 16), 0x0008u);
  EXPECT_EQ(sb().dev11_0->get(0x42, 8), 0xC0u);  // the pulses leave bits 6-7 alone
  EXPECT_EQ(block_.get(0x0, 32), 0x87080001u);
  EXPECT_EQ(block_.get(0xC, 32), 0xFFC1DFFFu);  // bits 16-21 := 1, bits 12-13 := mode 1
  for (const auto &[target, value] : pci_after) EXPECT_EQ(device(target)->get(target & 0xFF, 8), value) << std::hex << target;
  for (const auto &[target, value] : mmio_after) EXPECT_EQ(get_mmio(target), value) << std::hex << target;
  EXPECT_EQ(config_.MiscOptions, c.options_after);
  EXPECT_EQ(sb().dev14_3->get(0x6C, 32), c.pci_6c);
  EXPECT_EQ(sb().dev14_3->get(0x44, 32), c.pci_44);
  EXPECT_EQ(sb().pm.get(0xDA), c.pm_da);
  EXPECT_EQ(sb().misc.get(0x08, 8), c.misc08);
  EXPECT_EQ(sb().io_c00.get(0x09), c.c00_9);
  EXPECT_EQ(sb().pm.get(0xC2), c.pm_c2);
  EXPECT_EQ(sb().pm.get(0xC4), c.pm_c4);
  EXPECT_EQ(sb().pm.get(0x88), 0x21);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WarmRegisters,
    test::OnEngines<WarmCase>({
        // Option bit 0 only; PmRegDA 0x10; misc 0x80 bit 0 (not bit 2: mode 1, not bit 4: PM
        // 0xC2/0xC4 untouched after the table).
        {"option_bit0", 0x00000001, 0x10, 0x01, false, 0x00, 0x00000011, 0xFFFFFFEF, 0xFF03FFD5, 0x14, 0x20, 0xF9, 0x40,
         0x14},
        // Option bits 3 and 16; PmRegDA 0x11 (bit 0 survives the window's bit-2 step); misc 0x80
        // bit 4 with PM 0xC4 bit 2 cleared by the platform: bit 6 set, 0xC2 pulsed, bit 2 cleared.
        // PM 0xC2 found with bits 0-4 set: both 0xC2 steps keep them.
        {"option_bits_3_16", 0x00010008, 0x11, 0x10, true, 0x1F, 0x00010018, 0xFFFFFFFF, 0x0003C000, 0x15, 0x20, 0x9F,
         0x7F, 0x51},
        // misc 0x80 bit 4 with PM 0xC4 bit 2 as the table set it: PM 0xC2 bit 5 only.
        {"misc80_bit4", 0x00000001, 0x10, 0x10, false, 0xFF, 0x00000011, 0xFFFFFFEF, 0xFF03FFD5, 0x14, 0x20, 0xF9, 0xFF,
         0x14},
    }),
    test::EngineNames());

// More registers that keep an earlier boot's bits, where the masks of the steps above keep or
// clear a bit that none of the warm cases holds: PM 0x2C bits 1-2 with an even SMBus base, PM
// 0xE0's bit 0, A-Link 0x10's bit 0, the memory block found all ones (field A clear, mode 2, field
// B 1 or 2), RTC register A, PM 0xC8 bit 0 beside the one-time reset's marker and window 0x15
// with bit 1 set but not bit 0. Expected values worked out from each step's mask and value.
struct MoreWarmCase {
  const char *name;
  UINT32 field_b;
  UINT32 block_c_after;
};
using MoreWarmRegisters = test::OnEngine<EarlyInitTest, MoreWarmCase>;

TEST_P(MoreWarmRegisters, EachStepKeepsTheBitsItsMaskKeeps) {
  config_.SbFlags = kSbFlagAlinkSteps | kSbFlagProgramDev14F3Mmio;
  config_.MiscOptions = Param().field_b << 9;  // mode 0 (resolved to 2 below), field A clear
  config_.MiscOptions2 = 1u << 22;             // the one-time reset, whose marker is already set
  config_.PmRegDA = 0;
  sb().pm.set(0x2C, 16, 0x0006);
  sb().pm.set(0xE0, 32, 0x00000001);
  sb().alink.set_class0(0x10, 0x00000001);
  sb().misc.set(0x80, 8, 0x04);  // bit 2: mode 2; bit 4 clear: PM 0xC2/0xC4 left to the tables
  block_.set(0x0, 32, 0xFFFFFFFF);
  block_.set(0xC, 32, 0xFFFFFFFF);
  sb().rtc.set(0x0A, 0x3F);
  sb().pm.set(0xC8, 0x11);
  sb().pm.set_window(1, 0x15, 0x02);
  Run();

  EXPECT_EQ(sb().pm.get(0x2C, 16), 0x0B07u);  // bits 1-2 kept, 0x0B00 plus one
  EXPECT_EQ(sb().pm.get(0xE0, 32), 0x00000CD8u);
  EXPECT_EQ(sb().alink.class0(0x10), 0x00000201u);
  EXPECT_EQ(block_.get(0x0, 32), 0xFFFBFFFFu);  // field A clear: bit 18 cleared
  EXPECT_EQ(block_.get(0xC, 32), Param().block_c_after);
  EXPECT_EQ(sb().rtc.get(0x0A), 0x2F);  // bit 4 cleared, the rest kept
  EXPECT_EQ(sb().pm.get(0xC8), 0x01);   // the marker cleared, bit 0 kept
  EXPECT_EQ(sb().pm.get(0xDA), 0x00);   // window 0x15 bit 0 clear: PM 0xDA bit 2 not set
  EXPECT_TRUE(sb().reset.resets().empty());
}

INSTANTIATE_TEST_SUITE_P(
    FieldB, MoreWarmRegisters,
    // Block 0xC: bits 16-21 := 1 (0xFFC1FFFF), bits 12-13 := mode 2 (0xEFFF below), then bits
    // 14-15 := field B.
    test::OnEngines<MoreWarmCase>({{"field_b_1", 1, 0xFFC16FFFu}, {"field_b_2", 2, 0xFFC1AFFFu}}),
    test::EngineNames());

TEST_P(EarlyInit, ZeroMemoryBaseWritesNothingThere) {
  config_.Dev14F3MmioBase = 0;
  config_.SbFlags = kSbFlagProgramDev14F3Mmio;
  config_.MiscOptions = 0x00000700;  // field A and field B set: every step would write
  Run();
  for (const sim::Access &a : trace()) {
    EXPECT_FALSE((a.op == sim::Op::Rd || a.op == sim::Op::Wr) && a.addr < 0x100) << describe(a);
  }
  EXPECT_TRUE(TraceIs(TraceFrom(Rd(0xFED80E80, 8)),
                      Seq().rd(0xFED80E80, 8, 0).then(FixedPci()).then(RtcRegisterA()).then(QuietTail())));
}

TEST_P(EarlyInit, PlatformTableRunsAfterTheFixedOnesAndCanClearPmC4Bit2) {
  const UINT8 table[] = {0x03, 0xC4, 0xFB, 0x00, 0x0E, 0x20, 0x00, 0x5A, 0xFF, 0xFF, 0xFF, 0xFF};
  // Platform data lives below 4 GiB: the block holds its address in 32 bits.
  auto *copy = static_cast<UINT8 *>(sim::Arena::instance().allocate(sizeof table));
  std::copy(std::begin(table), std::end(table), copy);
  config_.PlatformMmioTable = static_cast<UINT32>(reinterpret_cast<UINTN>(copy));
  sb().misc.set(0x80, 8, 0x10);  // misc 0x80 bit 4: the PM 0xC2/0xC4 steps run
  Run();
  EXPECT_TRUE(TraceIs(TraceFrom(Rd(0xFED803C4, 8, 0x14)),
                      Seq()
                          .rmw(0xFED803C4, 8, 0x14, 0x10)
                          .rmw(0xFED80E20, 8, 0x00, 0x5A)
                          .out(0x70, 8, 0x0A)
                          .in(0x71, 8, 0)
                          .out(0x71, 8, 0)
                          .pci_rmw(0x00A3006C, 32, 0, 0)
                          .pm_rmw(0xDA, 8, 0, 0)
                          .rd(0xFED803DA, 8, 0)
                          .pci_rmw(0x00A30044, 32, 0, 0xFF03FFD5)
                          .out(0xC00, 8, 9)
                          .in(0xC01, 8, 0)
                          .out(0xC01, 8, 0x10)
                          .rd(0xFED80E80, 8, 0x10)
                          .rd(0xFED803C4, 8, 0x10)  // bit 2 clear: set bit 6, pulse 0xC2, clear bit 2
                          .pm_rmw(0xC4, 8, 0x10, 0x50)
                          .pm_rmw(0xC2, 8, 0x40, 0x60)
                          .pm_rmw(0xC4, 8, 0x50, 0x50)
                          .misc_rmw(0x00, 32, 0, 0xFFFFFFFF)
                          .misc_rmw(0x04, 8, 0, 0xFF)
                          .pm_rmw(0x88, 8, 0, 0x20)));
}

TEST_P(EarlyInit, RtcRegisterAOnlyBit4Cleared) {
  sb().rtc.set(0x0A, 0x36);
  sb().rtc.set(0x0B, 0x12);
  Run();
  EXPECT_EQ(sb().rtc.get(0x0A), 0x26);
  EXPECT_EQ(sb().rtc.get(0x0B), 0x12);
}

TEST_P(EarlyInit, OneTimeResetRequestedWhenTheMarkerIsClear) {
  config_.MiscOptions2 = 1u << 22;
  EXPECT_THROW(Run(), sim::ResetSignal);
  EXPECT_TRUE(TraceIs(TraceFrom(Out(0x70, 8, 0x0A)), Seq()
                                                          .out(0x70, 8, 0x0A)
                                                          .in(0x71, 8, 0)
                                                          .out(0x71, 8, 0)
                                                          .rd(0xFED803C8, 8, 0x00)
                                                          .pm_rmw(0xD8, 8, 0x15, 0x3A)
                                                          .rd(0xFED803D9, 8, 0x00)  // bank 0 index 0x3A
                                                          .misc_rmw(0x18, 8, 0x00, 0x10)
                                                          .pm_rmw(0xD8, 8, 0x3A, 0x3A)
                                                          .pm_rmw(0xD9, 8, 0x00, 0x10)
                                                          .pm_rmw(0xC8, 8, 0x00, 0x10)
                                                          .out(0xCF9, 8, 0x06)));
  EXPECT_EQ(sb().pm.window(0, 0x3A), 0x10);
  EXPECT_EQ(trace().back().via, nullptr);  // a direct port write, not through the CPU I/O PPI
}

TEST_P(EarlyInit, OneTimeResetKeepsTheOtherBitsOfWhatItSets) {
  config_.MiscOptions2 = 1u << 22;
  sb().pm.set(0xC8, 0x01);
  sb().pm.set_window(0, 0x3A, 0x01);
  sb().misc.set(0x18, 8, 0xFF);
  EXPECT_THROW(Run(), sim::ResetSignal);
  EXPECT_EQ(sb().pm.get(0xC8), 0x11);             // the marker added
  EXPECT_EQ(sb().pm.window(0, 0x3A), 0x10);       // written whole
  EXPECT_EQ(sb().misc.get(0x18, 8), 0xF1u);       // bits 1-4 := 0x10
}

TEST_P(EarlyInit, AResetWriteThatReturnsGoesOn) {
  config_.MiscOptions2 = 1u << 22;
  sb().reset.ignore_resets(true);
  Run();
  const auto tail = TraceFrom(Out(0xCF9, 8, 0x06));
  ASSERT_GE(tail.size(), 2u);
  EXPECT_EQ(tail[1].addr, 0xCF8u);  // step 27 follows
  EXPECT_EQ(trace().back().addr, 0xFED80388u);
}

struct MarkerCase {
  const char *name;
  UINT8 c8;
  UINT8 window_3a;
};

using ResetAlreadyDone = test::OnEngine<EarlyInitTest, MarkerCase>;

TEST_P(ResetAlreadyDone, ClearsTheMarkerAndGoesOn) {
  const MarkerCase c = Param();
  config_.MiscOptions2 = 1u << 22;
  sb().pm.set(0xC8, c.c8);
  sb().pm.set_window(0, 0x3A, c.window_3a);
  ASSERT_NO_THROW(Run());
  // ReadPmWindow left bit 5 of PM 0xC8 clear; the marker (bit 4) is kept until cleared here.
  const UINT8 c8 = c.c8 & ~0x20;
  EXPECT_TRUE(TraceIs(TraceFrom(Out(0x70, 8, 0x0A)), Seq()
                                                            .then(RtcRegisterA())
                                                            .rd(0xFED803C8, 8, c8)
                                                            .pm_rmw(0xD8, 8, 0x15, 0x3A)
                                                            .rd(0xFED803D9, 8, c.window_3a)
                                                            .pm_rmw(0xC8, 8, c8, c8 & 0xEF)
                                                            .then(QuietTail())));
  EXPECT_TRUE(sb().reset.resets().empty());
}

INSTANTIATE_TEST_SUITE_P(Markers, ResetAlreadyDone,
                         test::OnEngines<MarkerCase>({MarkerCase{"marker_set", 0x10, 0x00}, MarkerCase{"window_done", 0x00, 0x10},
                                           MarkerCase{"both", 0x90, 0x10}}),
    test::EngineNames());

TEST_P(EarlyInit, WithoutTheOptionNoResetRegisterIsTouched) {
  config_.MiscOptions2 = ~(1u << 22);
  Run();
  for (const sim::Access &a : trace()) {
    const bool c8_write = a.op == sim::Op::Wr && a.addr == 0xFED803C8 && a.reg.find("window") == std::string::npos &&
                          (a.value & 0x10) != 0;
    EXPECT_FALSE(c8_write || a.addr == 0xCF9 || a.addr == 0xFED80E18) << describe(a);
  }
  EXPECT_EQ(sb().pm.window(0, 0x3A), 0x00);
}

class OneTimeResetBoot : public ::testing::TestWithParam<sim::Engine> {};
INSTANTIATE_TEST_SUITE_P(Engines, OneTimeResetBoot, ::testing::ValuesIn(test::Engines()), test::EngineNames());

TEST_P(OneTimeResetBoot, TwoPassesAndOneReset) {
  sim::Board board = sim::default_board();
  board.hook_settings[SbHookAfterDefaults].push_back({"MiscOptions2", 1u << 22});
  board.cmos[0x0A] = 0x36;
  sim::BoardHardware hw(board);
  const auto passes = sim::run_pei_passes(board, hw, 4, GetParam());
  ASSERT_EQ(passes.size(), 2u);
  ASSERT_TRUE(passes[0].reset.has_value());
  EXPECT_EQ(passes[0].reset->value, 0x06);
  EXPECT_FALSE(passes[1].reset.has_value());
  EXPECT_EQ(passes[1].status, EFI_SUCCESS);
  EXPECT_EQ(hw.southbridge.reset.resets().size(), 1u);
  // The first pass never got to install its service PPIs; the second installs them all.
  EXPECT_EQ(passes[0].ppis.size(), 2u);
  EXPECT_EQ(passes[1].ppis.back().name, "SB_INIT_DONE_PPI");
  // Across the reset: the marker and the window survive (and the marker is cleared again), the
  // CMOS keeps register A as the first pass left it, misc 0x18 went back to its power-on 0.
  EXPECT_EQ(hw.southbridge.pm.get(0xC8) & 0x10, 0);
  EXPECT_EQ(hw.southbridge.pm.window(0, 0x3A), 0x10);
  EXPECT_EQ(hw.southbridge.rtc.get(0x0A), 0x26);
  EXPECT_EQ(hw.southbridge.misc.get(0x18, 8), 0u);
}

}  // namespace
