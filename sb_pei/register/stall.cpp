// SbStall: waits on the ACPI PM timer whose port the southbridge holds in PM registers
// 0x64/0x65, or on dummy reads of port 0x80 when that port is not set or the timer there does
// not count.
#include "sb_pei/register/stall.h"

#include "sb_pei/register/access.h"

namespace sbpei {
namespace {

constexpr UINT32 kPmTimerPortReg = 0xFED80364;  // PM registers 0x64/0x65
constexpr UINT16 kDelayPort = 0x80;

// A tick counts as 0.28 us. The 32-bit product Ticks * 28 wraps after 153,391,689 ticks
// (about 42.9 s), so one measurement can never see more than 42,949,672 us, and a request
// close to that is met only in a window of a few ticks that a late poll (an SMI, a slow bus)
// can step over, leaving the wait spinning for ever. Requests above 10 s are therefore waited
// in 10 s pieces: each piece is met with more than 30 s to spare.
constexpr UINT32 kTickNumerator = 28;
constexpr UINT32 kTickDenominator = 100;
constexpr UINT32 kLongWaitPiece = 10000000;

// A timer that reads the same value this many polls in a row does not count: a working one
// moves every 0.28 us, and even a fast port read takes longer than that, so a thousand reads
// standing still leave no doubt (a stopped or undecoded timer block, all ones when nothing
// answers). On a dead timer each delay costs these polls, about a millisecond, then finishes
// on port 0x80; the module keeps no state, so every delay finds out anew.
constexpr UINT32 kDeadTimerPolls = 1024;

// Each read of port 0x80 takes about 2 us on the bus.
void DelayOnPort80(UINT32 Microseconds) {
  for (UINT32 N = Microseconds >> 1; N != 0; --N) InIo(kDelayPort, kWidth8);
}

UINT32 ReadTimer(UINT16 Port) { return InIo(Port, kWidth32); }

// Polls until strictly more than `Microseconds` have passed since the first reading; on a
// timer that stands still, the rest of the wait is made on port 0x80.
void WaitOnTimer(UINT16 Port, UINT32 Microseconds) {
  const UINT32 Start = ReadTimer(Port);
  UINT32 Last = Start;
  UINT32 Unchanged = 0;
  for (;;) {
    const UINT32 Now = ReadTimer(Port);
    const UINT32 Ticks = Now - Start;  // modulo 2^32: a wrapped counter still counts
    const UINT32 Passed = (Ticks * kTickNumerator) / kTickDenominator;
    if (Passed > Microseconds) return;
    Unchanged = Now == Last ? Unchanged + 1 : 0;
    Last = Now;
    if (Unchanged == kDeadTimerPolls) {
      DelayOnPort80(Microseconds - Passed);
      return;
    }
  }
}

}  // namespace

void SbStall(UINT32 Microseconds) {
  const UINT16 TimerPort = static_cast<UINT16>(InMem(kPmTimerPortReg, kWidth16));

  if (TimerPort == 0) {
    DelayOnPort80(Microseconds);
    return;
  }

  while (Microseconds > kLongWaitPiece) {
    WaitOnTimer(TimerPort, kLongWaitPiece);
    Microseconds -= kLongWaitPiece;
  }
  WaitOnTimer(TimerPort, Microseconds);
}

}  // namespace sbpei
