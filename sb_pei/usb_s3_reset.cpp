// USB host controller ports on S3 resume: ports left in Force Port Resume are released and
// waited for, the controllers are pulsed through PM 0xF3, and one port is put back into
// suspend-and-resume.
#include "sb_pei/register/access.h"
#include "sb_pei/register/stall.h"
#include "sb_pei/register/tables.h"
#include "sb_pei/sb_pei.h"

namespace sbpei {
namespace {

// The three EHCI host controllers, selected by UsbResetMask bits 1, 3 and 5.
constexpr UINT32 kHostA = PciAddress(0, 0x12, 2, 0);
constexpr UINT32 kHostB = PciAddress(0, 0x13, 2, 0);
constexpr UINT32 kHostC = PciAddress(0, 0x16, 2, 0);
constexpr UINT8 kMaskHostA = 0x02;
constexpr UINT8 kMaskHostB = 0x08;
constexpr UINT8 kMaskHostC = 0x20;

struct UsbHost {
  UINT8 Bit;
  UINT32 Controller;
};
constexpr UsbHost kHosts[] = {{kMaskHostA, kHostA}, {kMaskHostB, kHostB}, {kMaskHostC, kHostC}};

// Functions whose register 0x50 bit 29 is held clear around the PM 0xF3 pulse.
constexpr UINT32 kCompanions[] = {PciAddress(0, 0x12, 0, 0), PciAddress(0, 0x13, 0, 0), PciAddress(0, 0x16, 0, 0),
                                  PciAddress(0, 0x14, 5, 0)};
constexpr UINT32 kCompanionReg50 = 0x50;
constexpr UINT32 kReg50Bit29 = 0x20000000;

constexpr UINT32 kHostRegC4 = 0xC4;
constexpr UINT32 kHostCommand = 0x04;
constexpr UINT32 kHostBar0 = 0x10;
constexpr UINT32 kMemorySpaceEnable = 0x02;

constexpr UINT32 kPmRegF3 = 0xFED803F3;

// EHCI port status and control: five ports from BAR0 + 0x64.
constexpr UINT32 kFirstPort = 0x64;
constexpr UINT32 kPortCount = 5;
constexpr UINT32 kForcePortResume = 0x40;  // bit 6
constexpr UINT32 kSuspend = 0x80;          // bit 7
constexpr UINT16 kPortEnabledConnected = 0x1005;  // power, enabled, connected; nothing else
constexpr UINT32 kPortPollUs = 5;
// A port finishes its resume within a few milliseconds of Force Port Resume being cleared
// (USB 2.0 resume timing). 30 ms of polls, and a port that still has not come back is left.
constexpr UINT32 kPortPollLimit = 30000 / kPortPollUs;

UINT16 ReadPort16(UINT32 Address) { return static_cast<UINT16>(InMem(Address, kWidth16)); }

void WaitPortEnabled(UINT32 Port) {
  for (UINT32 Poll = 0; Poll < kPortPollLimit; ++Poll) {
    SbStall(kPortPollUs);
    if (ReadPort16(Port) == kPortEnabledConnected) return;
  }
}

}  // namespace

// Clears Force Port Resume on every port of `Controller` where it is set and waits for the
// port to come back; returns the address of the last such port register, or 0.
UINT32 ClearPortResume(UINT32 Controller) {
  RwPci(Controller | kHostRegC4, kWidth8, 0xF0, 0);
  RwPci(Controller | kHostCommand, kWidth8, 0xFF, kMemorySpaceEnable);
  const UINT32 Base = InPci(Controller | kHostBar0, kWidth32);
  // A controller with no memory base (0, or all ones from a function that is not there) has
  // no port registers: anything "read" there is not a port, and writing it would hit low RAM.
  if (Base == 0 || Base == 0xFFFFFFFF) return 0;

  UINT32 Result = 0;
  for (UINT32 K = 0; K < kPortCount; ++K) {
    const UINT32 Port = Base + kFirstPort + 4 * K;
    if ((ReadPort16(Port) & kForcePortResume) == 0) continue;
    Result = Port;
    RwMem(Port, kWidth16, ~kForcePortResume, 0);
    WaitPortEnabled(Port);
  }
  return Result;
}

void SbUsbS3Reset(SB_CONFIG *Config) {
  const UINT8 Mask = Config->UsbResetMask;
  UINT32 Remembered = 0;
  for (const UsbHost &Host : kHosts) {
    if ((Mask & Host.Bit) == 0) continue;
    const UINT32 Port = ClearPortResume(Host.Controller);
    if (Port != 0) Remembered = Port;
  }

  for (UINT32 Companion : kCompanions) RwPci(Companion | kCompanionReg50, kWidth32, ~kReg50Bit29, 0);
  ProgramMmioEntry(MmioEntry(kPmRegF3, 0, 0x20));
  SbStall(10);
  ProgramMmioEntry(MmioEntry(kPmRegF3, 0, 0x00));
  for (UINT32 Companion : kCompanions) RwPci(Companion | kCompanionReg50, kWidth32, ~kReg50Bit29, kReg50Bit29);

  if (Remembered != 0) {
    RwMem(Remembered, kWidth8, ~kSuspend, kSuspend);
    SbStall(4000);
    RwMem(Remembered, kWidth8, ~kForcePortResume, kForcePortResume);
  }

  for (const UsbHost &Host : kHosts) RwPci(Host.Controller | kHostRegC4, kWidth8, 0xF0, 0x03);
}

}  // namespace sbpei
