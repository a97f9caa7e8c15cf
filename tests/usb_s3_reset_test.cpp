// The USB host controller port reset on S3 resume.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "sb_pei/sb_pei.h"
#include "sequence_builder.h"
#include "sim/services/guid_names.h"
#include "sim/services/platform_hook.h"
#include "engines.h"

using namespace test;

namespace {

constexpr UINT32 kBars[] = {0xFE8A0000, 0xFE8B0000, 0xFE8C0000};
constexpr UINT32 kHosts[] = {0x00920000, 0x009A0000, 0x00B20000};
constexpr UINT16 kTimer = 0x0808;
constexpr UINT32 kInResume = 0x10C5;   // suspended, Force Port Resume, enabled and connected
constexpr UINT32 kResuming = 0x1085;   // Force Port Resume cleared, resume not finished yet

UINT32 PortAddress(unsigned controller, unsigned port) { return kBars[controller] + 0x64 + 4 * port; }

class UsbS3ResetTest : public BoardTest {
 protected:
  UsbS3ResetTest() {
    sb().pm.set(0x62, 16, 0x0804);
    for (unsigned i = 0; i < 3; ++i) sb().usb[i]->set(0x10, 32, kBars[i]);
  }
  // A resume from S3 with the platform's mask: the accesses between the SMBus PPIs and the
  // init-done PPI are the reset's.
  void Run(UINT8 mask) {
    sb().acpi.set_sleep_type(3);
    sim::PlatformHook hook(core_, [mask](UINT32, SB_CONFIG &c) { c.UsbResetMask = mask; });
    ASSERT_EQ(RunEntry(), EFI_SUCCESS);
    std::size_t from = 0, to = 0;
    for (const sim::PeiCall &c : core_.calls()) {
      if (c.service != sim::PeiService::InstallPpi) continue;
      if (c.detail == "EFI_PEI_SMBUS_PPI") from = c.accesses_before;
      if (c.detail == "SB_INIT_DONE_PPI") to = c.accesses_before;
    }
    ASSERT_LE(from, to);
    usb_.assign(trace().begin() + static_cast<std::ptrdiff_t>(from), trace().begin() + static_cast<std::ptrdiff_t>(to));
  }
  std::vector<sim::Access> Trace() const { return CollapseStalls(usb_, kTimer); }
  // The 16-bit reads of `port` made while waiting for it after Force Port Resume was cleared.
  std::vector<UINT32> WaitReads(UINT32 port) const {
    std::vector<UINT32> reads;
    bool written = false;
    for (const sim::Access &a : usb_) {
      if (a.addr != port) continue;
      if (a.op == sim::Op::Wr || a.width != 16) {
        if (written) break;
        written = a.op == sim::Op::Wr;
      } else if (written) {
        reads.push_back(a.value);
      }
    }
    return reads;
  }
  std::vector<sim::Access> usb_;
};

using UsbS3Reset = test::OnEngine<UsbS3ResetTest>;
INSTANTIATE_TEST_SUITE_P(Engines, UsbS3Reset, ::testing::ValuesIn(test::Engines()), test::EngineNames());

// Steps 3-5: bit 29 of register 0x50 of the four functions held clear around the PM 0xF3 pulse.
Seq CompanionPulse() {
  const UINT32 companions[] = {0x00900050, 0x00980050, 0x00B00050, 0x00A50050};
  Seq s;
  for (UINT32 f : companions) s.pci_rmw(f, 32, 0, 0);
  s.pm_rmw(0xF3, 8, 0, 0x20).stall(10).pm_rmw(0xF3, 8, 0x20, 0x00);
  for (UINT32 f : companions) s.pci_rmw(f, 32, 0, 0x20000000);
  return s;
}

// Step 7: register 0xC4 of all three controllers, whatever the mask.
Seq HostC4(UINT8 a = 0) {
  return Seq()
      .pci_rmw(kHosts[0] | 0xC4, 8, a, (a & 0xF0) | 3)
      .pci_rmw(kHosts[1] | 0xC4, 8, 0, 3)
      .pci_rmw(kHosts[2] | 0xC4, 8, 0, 3);
}

// The start of a controller's scan: 0xC4 bits 0-3 cleared, memory space on, BAR0 read once.
Seq ScanStart(unsigned c, UINT8 c4 = 0, UINT8 command = 0) {
  const UINT32 host = kHosts[c];
  return Seq()
      .pci_rmw(host | 0xC4, 8, c4, c4 & 0xF0)
      .pci_rmw(host | 0x04, 8, command, command | 0x02)
      .out(0xCF8, 32, sbpei::PciConfigAddress(host | 0x10))
      .in(0xCFC, 32, kBars[c]);
}

// A port found in resume: Force Port Resume cleared, then 5 us waits until it reads 0x1005.
Seq ReleasePort(UINT32 port, const std::vector<UINT32> &wait_reads) {
  Seq s;
  s.rd(port, 16, kInResume).rmw(port, 16, kInResume, kResuming);
  for (UINT32 v : wait_reads) s.stall(5).rd(port, 16, v);
  return s;
}

TEST_P(UsbS3Reset, MaskZeroTouchesNoPortButPulsesAndSetsTheControllers) {
  Run(0x00);
  EXPECT_TRUE(TraceIs(Trace(), Seq().then(CompanionPulse()).then(HostC4())));
}

// Registers found with every bit set: the pulse moves bit 29 of the companions and PM 0xF3
// only, and the companions end as they were found.
TEST_P(UsbS3Reset, ThePulseKeepsEveryOtherBit) {
  const UINT32 companions[] = {0x00900050, 0x00980050, 0x00B00050, 0x00A50050};
  for (sim::PciFunction *f : sb().usb_companion) f->set(0x50, 32, 0xFFFFFFFF);
  sb().pm.set(0xF3, 0xFF);
  Run(0x00);
  Seq want;
  for (UINT32 f : companions) want.pci_rmw(f, 32, 0xFFFFFFFF, 0xDFFFFFFF);
  want.pm_rmw(0xF3, 8, 0xFF, 0x20).stall(10).pm_rmw(0xF3, 8, 0x20, 0x00);
  for (UINT32 f : companions) want.pci_rmw(f, 32, 0xDFFFFFFF, 0xFFFFFFFF);
  EXPECT_TRUE(TraceIs(Trace(), want.then(HostC4())));
}

TEST_P(UsbS3Reset, MaskBitsOtherThan135AreNotRead) {
  Run(0xD5);
  EXPECT_TRUE(TraceIs(Trace(), Seq().then(CompanionPulse()).then(HostC4())));
}

TEST_P(UsbS3Reset, ControllerWithNoPortInResume) {
  sb().usb[0]->set(0xC4, 8, 0xBF);  // bits 0-3 are the scan's; bits 4, 5 and 7 set, 6 clear, stay so
  sb().usb[0]->set(0x04, 8, 0x05);  // I/O space and bus master stay on
  Run(0x02);
  Seq want = ScanStart(0, 0xBF, 0x05);
  for (unsigned k = 0; k < 5; ++k) want.rd(PortAddress(0, k), 16, 0);
  want.then(CompanionPulse()).then(HostC4(0xB0));
  EXPECT_TRUE(TraceIs(Trace(), want));
}

TEST_P(UsbS3Reset, PortsInResumeOnTwoControllersOnlyTheLastIsResumedAgain) {
  sb().usb[0]->port(1).set(kInResume);
  sb().usb[1]->port(3).set(kInResume);
  Run(0x2A);
  const UINT32 a1 = PortAddress(0, 1), b3 = PortAddress(1, 3);
  const auto wait_a = WaitReads(a1), wait_b = WaitReads(b3);
  // The port finishes its resume 50 us after the clear: every poll before reads 0x1085.
  for (const auto *w : {&wait_a, &wait_b}) {
    ASSERT_GE(w->size(), 5u);
    ASSERT_LE(w->size(), 12u);
    EXPECT_EQ(w->back(), 0x1005u);
    for (std::size_t i = 0; i + 1 < w->size(); ++i) EXPECT_EQ((*w)[i], kResuming);
  }
  Seq want = ScanStart(0);
  want.rd(PortAddress(0, 0), 16, 0).then(ReleasePort(a1, wait_a));
  for (unsigned k = 2; k < 5; ++k) want.rd(PortAddress(0, k), 16, 0);
  want.then(ScanStart(1));
  for (unsigned k = 0; k < 3; ++k) want.rd(PortAddress(1, k), 16, 0);
  want.then(ReleasePort(b3, wait_b)).rd(PortAddress(1, 4), 16, 0);
  want.then(ScanStart(2));
  for (unsigned k = 0; k < 5; ++k) want.rd(PortAddress(2, k), 16, 0);
  want.then(CompanionPulse());
  // Only port 3 of controller B: Suspend, 4000 us, Force Port Resume, byte-wide.
  want.rmw(b3, 8, 0x05, 0x85).stall(4000).rmw(b3, 8, 0x85, 0xC5);
  want.then(HostC4());
  EXPECT_TRUE(TraceIs(Trace(), want));
  EXPECT_EQ(sb().usb[0]->port(1).value(), 0x1005u);
  EXPECT_EQ(sb().usb[1]->port(3).value(), 0x10C5u);
}

// A port left in resume with nothing connected (bit 0 clear): Force Port Resume is cleared
// with every other bit kept, the wait runs its 30 ms out, and the port is still the one
// suspended and resumed again, each byte-wide write keeping bit 0 clear.
TEST_P(UsbS3Reset, APortInResumeWithNothingConnected) {
  const UINT32 port = PortAddress(0, 1);
  sb().usb[0]->port(1).set(0x10C4);        // suspended, Force Port Resume, enabled; not connected
  sb().usb[0]->port(1).settle_to(0x1000);  // the resume ends with the port empty: power only
  Run(0x02);
  EXPECT_EQ(WaitReads(port).size(), 6000u);
  std::vector<std::pair<unsigned, UINT32>> writes;
  for (const sim::Access &a : usb_)
    if (a.op == sim::Op::Wr && a.addr == port) writes.emplace_back(a.width, a.value);
  EXPECT_EQ(writes, (std::vector<std::pair<unsigned, UINT32>>{{16, 0x1084}, {8, 0x80}, {8, 0xC0}}));
}

TEST_P(UsbS3Reset, APortAlreadyBackEndsTheWaitAfterOneDelay) {
  sb().usb[0]->port(4).set(kInResume);
  sb().usb[0]->port(4).settle_after(0);
  Run(0x02);
  EXPECT_EQ(WaitReads(PortAddress(0, 4)), std::vector<UINT32>{0x1005});
}

TEST_P(UsbS3Reset, OnlyExactly1005EndsTheWaitAndTheWaitIsBounded) {
  sb().usb[2]->port(0).set(kInResume);
  sb().usb[2]->port(0).settle_after(0);
  sb().usb[2]->port(0).settle_to(0x1007);  // a change bit still set: not done
  sb().usb[2]->port(2).set(kInResume);
  sb().usb[2]->port(2).never_settles();
  const std::uint64_t start = machine().now_ns();
  Run(0x20);
  const auto reads0 = WaitReads(PortAddress(2, 0));
  const auto reads2 = WaitReads(PortAddress(2, 2));
  // 30 ms of 5 us polls for each, then the scan goes on with the next port.
  EXPECT_EQ(reads0.size(), 6000u);
  EXPECT_EQ(reads2.size(), 6000u);
  for (UINT32 v : reads0) ASSERT_EQ(v, 0x1007u);
  EXPECT_GE(machine().now_ns() - start, 2 * 30'000'000u);
  // Both stay remembered ports in order: port 2 is the one resumed again.
  EXPECT_EQ(sb().usb[2]->port(2).value(), kResuming | 0xC0);
}

// No memory base: 0, or all ones from a function that is not there.
struct NoBaseCase {
  const char *name;
  UINT32 bar;
};
using UsbS3ResetNoBase = test::OnEngine<UsbS3ResetTest, NoBaseCase>;

TEST_P(UsbS3ResetNoBase, ControllerWithoutAMemoryBaseHasItsPortsLeftAlone) {
  sb().usb[1]->set(0x10, 32, Param().bar);
  Run(0x08);
  EXPECT_TRUE(TraceIs(Trace(), Seq()
                                   .pci_rmw(kHosts[1] | 0xC4, 8, 0, 0)
                                   .pci_rmw(kHosts[1] | 0x04, 8, 0, 0x02)
                                   .out(0xCF8, 32, sbpei::PciConfigAddress(kHosts[1] | 0x10))
                                   .in(0xCFC, 32, Param().bar)
                                   .then(CompanionPulse())
                                   .then(HostC4())));
}

INSTANTIATE_TEST_SUITE_P(Bars, UsbS3ResetNoBase,
                         test::OnEngines<NoBaseCase>({NoBaseCase{"zero", 0}, NoBaseCase{"all_ones", 0xFFFFFFFF}}),
                         test::EngineNames());

struct ModeCase {
  const char *name;
  EFI_BOOT_MODE before;
  unsigned slp_typ;
  bool reset_runs;
};

using EntryBootModes = test::OnEngine<UsbS3ResetTest, ModeCase>;

TEST_P(EntryBootModes, RunsOnlyOnS3Resume) {
  const ModeCase c = Param();
  sb().pm.set(0x62, 16, 0x0804);
  sb().acpi.set_sleep_type(c.slp_typ);
  sb().usb[0]->port(0).set(kInResume);
  core_.set_boot_mode(c.before);
  sim::PlatformHook hook(core_, [](UINT32, SB_CONFIG &cfg) { cfg.UsbResetMask = 0x2A; });
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  bool touched = false;
  for (const sim::Access &a : trace()) {
    touched |= a.reg.find("PORTSC") != std::string::npos || a.addr == 0xFED803F3 ||
               a.reg.find("0:12.2") != std::string::npos || a.reg.find("0:14.5") != std::string::npos;
  }
  EXPECT_EQ(touched, c.reset_runs);
  // The reset runs after the SMBus PPIs and before the init-done PPI.
  EXPECT_EQ(sim::guid_name(*core_.ppis().back()->Guid), "SB_INIT_DONE_PPI");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EntryBootModes,
    test::OnEngines<ModeCase>({ModeCase{"s3", BOOT_WITH_FULL_CONFIGURATION, 3, true},
                      ModeCase{"power_on", BOOT_WITH_FULL_CONFIGURATION, 0, false},
                      ModeCase{"s4", BOOT_WITH_FULL_CONFIGURATION, 4, false},
                      ModeCase{"s3_in_recovery", BOOT_IN_RECOVERY_MODE, 3, false},
                      ModeCase{"s3_on_flash_update", BOOT_ON_FLASH_UPDATE, 3, false}}),
    test::EngineNames());

}  // namespace
