// Early southbridge programming: register windows, A-Link, I/O bases from the configuration
// block, the fixed tables and single steps, the platform's table, RTC register A and the
// one-time reset. Every access goes through the register layer; the order is the sequence.
#include "sb_pei/register/access.h"
#include "sb_pei/register/indexed.h"
#include "sb_pei/register/stall.h"
#include "sb_pei/register/tables.h"
#include "sb_pei/sb_pei.h"

namespace sbpei {
namespace {

// PM registers (memory at 0xFED80300 + r) and misc registers (0xFED80E00 + r).
constexpr UINT32 PmReg(UINT32 Register) { return 0xFED80300 + Register; }
constexpr UINT32 MiscReg(UINT32 Register) { return 0xFED80E00 + Register; }

// PCI functions used here: 0:11.0, 0:14.3.
constexpr UINT32 Dev11F0(UINT32 Register) { return PciAddress(0, 0x11, 0, Register); }
constexpr UINT32 Dev14F3(UINT32 Register) { return PciAddress(0, 0x14, 3, Register); }

constexpr UINT32 kAlinkIndexPortValue = 0x00000CD8;  // PM 0xE0: the A-Link index port
constexpr UINT8 kPmWindowOptionIndex = 0x1F;
constexpr UINT8 kPmWindowOptionValue = 0x70;
constexpr UINT8 kPmWindowRevisionIndex = 0x1E;
constexpr UINT8 kPmWindowNoAlinkRevision = 0x02;
constexpr UINT8 kPmWindowIndex15 = 0x15;

constexpr UINT16 kRtcIndexPort = 0x70;
constexpr UINT16 kRtcDataPort = 0x71;
constexpr UINT8 kRtcRegisterA = 0x0A;

constexpr UINT32 kMiscOptions2OneTimeReset = 1u << 22;
constexpr UINT8 kResetMarker = 0x10;         // PM 0xC8 bit 4: set just before the reset
constexpr UINT8 kPmWindowResetIndex = 0x3A;  // bank 0 index that holds 0x10 once set up
constexpr UINT8 kPmWindowResetDone = 0x10;
constexpr UINT16 kResetControlPort = 0xCF9;
constexpr UINT8 kFullReset = 0x06;

constexpr UINT16 kC00IndexPort = 0xC00;
constexpr UINT16 kC00DataPort = 0xC01;
constexpr UINT8 kC00Index9 = 0x09;

// Values taken from the block before the first step.
struct EarlyInitInputs {
  bool AlinkSteps;  // SbFlags bit 4
  bool FieldA;      // MiscOptions bit 8
  UINT32 FieldB;    // MiscOptions bits 9-10
};

UINT8 ReadByte(UINT32 Address) { return static_cast<UINT8>(InMem(Address, kWidth8)); }

UINT8 ReadWindow(UINT8 Index) {
  UINT8 Data = Index;
  ReadPmWindow(&Data);
  return Data;
}

// Steps 1-2: PM 0x24 bit 0 through the index ports, before any memory access; then the A-Link
// index port into PM 0xE0.
void ProgramRegisterWindows() {
  RwPm(0x24, kWidth8, 0xFF, 0x01);
  RwMem(PmReg(0xE0), kWidth32, 0, kAlinkIndexPortValue);
}

// Steps 3-7. The A-Link steps of step 7 are skipped on parts whose PM window reads 0x70 at
// index 0x1F and 0x02 at index 0x1E.
void ProgramAlink(bool AlinkSteps) {
  WriteAlink(0x80000004, 0x00000004);
  RwAlink(0xC000009C, 0xFFFFFFFF, 0x00000001);  // class 6: the register itself
  RwAlink(0x00000010, 0xFFFFFFFF, 0x00000200);
  if (ReadWindow(kPmWindowOptionIndex) == kPmWindowOptionValue &&
      ReadWindow(kPmWindowRevisionIndex) == kPmWindowNoAlinkRevision) {
    AlinkSteps = false;
  }
  if (!AlinkSteps) return;
  RwAlink(0x400000A4, 0xFFFFFFFF, 0x00000001);
  RwAlink(0x80000088, 0xFFFFFFF0, 0x00000002);
  RwAlink(0x400000A4, 0xFFFFFFFF, 0x00040000);
}

// Steps 8-10: PCI 0:14.3 registers from the block.
void ProgramDev14F3FromConfig(const SB_CONFIG *Config) {
  OutPci(Dev14F3(0x64), kWidth16, Config->Dev14F3Reg64);
  RwPci(Dev14F3(0xA0), kWidth32, 0x0000001F, Config->Dev14F3MmioBase);
  RwPci(Dev14F3(0x9C), kWidth32, 0, Config->Dev14F3Reg9C + 1);
}

// Steps 11-15: SMBus and ACPI I/O bases into the PM registers. From here on the PM timer
// at AcpiPmTmrBlk is what every delay runs on.
void ProgramIoBases(const SB_CONFIG *Config) {
  RwMem(PmReg(0x2C), kWidth16, 0x00000006, static_cast<UINT16>(Config->SmbusBase0) + 1u);
  RwMem(PmReg(0x28), kWidth16, 0, static_cast<UINT16>(Config->SmbusBase1));
  // AcpiPm1EvtBlk to PmReg6C lie back to back in the block, as PM 0x60 to 0x6C do.
  const UINT8 *Bases = reinterpret_cast<const UINT8 *>(Config) + __builtin_offsetof(SB_CONFIG, AcpiPm1EvtBlk);
  for (UINT32 I = 0; I < 14; I += 2) RwMem(PmReg(0x60 + I), kWidth16, 0, Bases[I] | Bases[I + 1] << 8);
  RwMem(PmReg(0x6E), kWidth16, 0, Config->PmReg6A + 8u);
  RwMem(PmReg(0x48), kWidth32, 0, Config->PmReg48);
}

// Step 18: bits 0-5 of PCI 0:11.0 register 0x42 each pulsed high for 2 us.
void PulseDev11Reg42() {
  for (UINT32 Bit = 0; Bit < 6; ++Bit) {
    RwPci(Dev11F0(0x42), kWidth8, 0xFF, 1u << Bit);
    SbStall(2);
    RwPci(Dev11F0(0x42), kWidth8, 0xFF ^ (1u << Bit), 0);
    SbStall(2);
  }
}

// Step 19: a mode of 0 or 1 in MiscOptions bits 4-5 is resolved from misc register 0x80 bit 2.
UINT32 ResolveModeField(SB_CONFIG *Config) {
  UINT8 Misc80 = 0;
  ReadMisc80(&Misc80);
  UINT32 Mode = (Config->MiscOptions >> 4) & 3;
  if (Mode <= 1) {
    Mode = (Misc80 & 0x04) ? 2 : 1;
    Config->MiscOptions = (Config->MiscOptions & ~0x30u) | Mode << 4;
  }
  return Mode;
}

// Steps 20-22: the memory block at Dev14F3MmioBase. A base of 0 is no block: writing there
// would hit the first bytes of physical memory, so nothing is written.
void ProgramDev14F3Mmio(const SB_CONFIG *Config, const EarlyInitInputs &In, UINT32 Mode) {
  const UINT32 Base = Config->Dev14F3MmioBase;
  if (Base == 0) return;
  if (Config->SbFlags & kSbFlagProgramDev14F3Mmio) {
    RwMem(Base + 0x0, kWidth32, 0xFFFFFFFF, 0x07080000);
    RwMem(Base + 0xC, kWidth32, 0xFFC0FFFF, 0x00010000);
    RwMem(Base + 0xC, kWidth16, 0xFFFFCFFF, Mode << 12);
  }
  RwMem(Base + 0x0, kWidth32, ~0x00040000u, In.FieldA ? 0x00040000 : 0);
  if (In.FieldB != 0) RwMem(Base + 0xC, kWidth16, 0xFFFF3FFF, In.FieldB << 14);
}

// Step 25: RTC register A bit 4 cleared; no other CMOS register is touched.
void ClearRtcRegisterABit4() {
  OutIo(kRtcIndexPort, kWidth8, kRtcRegisterA);
  OutIo(kRtcDataPort, kWidth8, InIo(kRtcDataPort, kWidth8) & 0xEF);
}

// What is set just before the one-time reset, as an MMIO table: misc 0x18 bits 1-4 to 0x10,
// window index 0x3A to 0x10 (the bank bit is clear: bank 0), and the marker in PM 0xC8.
const UINT8 kResetPreparation[] = {
    0x0E, 0x18, 0xE1, 0x10,                                        // misc 0x18
    0x03, 0xD8, 0x00, kPmWindowResetIndex,                         // PM 0xD8: window index
    0x03, 0xD9, 0x00, kPmWindowResetDone,                          // PM 0xD9: window data
    0x03, 0xC8, static_cast<UINT8>(~kResetMarker), kResetMarker,  // PM 0xC8 bit 4
    0xFF, 0xFF, 0xFF, 0xFF,                                        // end
};

// Step 26: under MiscOptions2 bit 22, set bank-0 window index 0x3A and misc 0x18 and reset
// once. The marker in PM 0xC8 bit 4 survives the reset, so the next pass does not reset again.
void OneTimeReset(const SB_CONFIG *Config) {
  if ((Config->MiscOptions2 & kMiscOptions2OneTimeReset) == 0) return;
  const UINT8 C = ReadByte(PmReg(0xC8));
  ProgramMmioEntry(MmioEntry(PmReg(0xD8), 0, kPmWindowResetIndex));  // bank bit 5 is clear: bank 0
  const UINT8 V = ReadByte(PmReg(0xD9));
  if ((C & kResetMarker) != 0 || V == kPmWindowResetDone) {
    ProgramMmioEntry(MmioEntry(PmReg(0xC8), 0xEF, 0));
    return;
  }
  ProgramMmioTable(reinterpret_cast<UINTN>(kResetPreparation));
  OutIo(kResetControlPort, kWidth8, kFullReset);
  // Should the write return, the sequence goes on.
}

// Steps 27-36: the remaining single registers.
void ProgramRemaining(const SB_CONFIG *Config, UINT8 W15) {
  const UINT32 Options = Config->MiscOptions;
  RwPci(Dev14F3(0x6C), kWidth32, ~((Options & 7) << 4), 0);

  ProgramMmioEntry(MmioEntry(PmReg(0xDA), 0, Config->PmRegDA & 0xFD));
  if (W15 & 0x01) ProgramMmioEntry(MmioEntry(PmReg(0xDA), 0xFB, 0x04));
  if ((ReadByte(PmReg(0xDA)) & 0xF0) == 0x10) ProgramMmioEntry(MmioEntry(MiscReg(0x08), 0, 0x20));

  RwPci(Dev14F3(0x44), kWidth32, 0, (Options & 0x08) ? 0x0003C000 : 0xFF03FFD5);

  OutIo(kC00IndexPort, kWidth8, kC00Index9);
  UINT8 D = static_cast<UINT8>(InIo(kC00DataPort, kWidth8));
  if ((Options & 0x00010000) == 0) D &= 0xF9;
  if (Options & 0x08) D &= 0x9F;
  D |= 0x10;
  OutIo(kC00DataPort, kWidth8, D);

  UINT8 Misc80 = 0;
  ReadMisc80(&Misc80);
  if (Misc80 & 0x10) {
    if (ReadByte(PmReg(0xC4)) & 0x04) {
      ProgramMmioEntry(MmioEntry(PmReg(0xC2), 0xDF, 0x20));
    } else {
      ProgramMmioEntry(MmioEntry(PmReg(0xC4), 0xFB, 0x40));
      ProgramMmioEntry(MmioEntry(PmReg(0xC2), 0xDF, 0x20));
      ProgramMmioEntry(MmioEntry(PmReg(0xC4), 0xFB, 0));
    }
  }

  RwMem(MiscReg(0x00), kWidth32, 0xFFFFFFFF, 0xFFFFFFFF);
  ProgramMmioEntry(MmioEntry(MiscReg(0x04), 0xFF, 0xFF));
  ProgramMmioEntry(MmioEntry(PmReg(0x88), 0xFF, 0x20));
}

}  // namespace

void SbEarlyInit(SB_CONFIG *Config) {
  const EarlyInitInputs In = {(Config->SbFlags & kSbFlagAlinkSteps) != 0, (Config->MiscOptions & 0x100) != 0,
                              (Config->MiscOptions >> 9) & 3};

  ProgramRegisterWindows();
  ProgramAlink(In.AlinkSteps);
  ProgramDev14F3FromConfig(Config);
  ProgramIoBases(Config);

  const UINT8 W15 = ReadWindow(kPmWindowIndex15);
  ProgramMmioTable(reinterpret_cast<UINTN>(SbMmioInitTable));
  PulseDev11Reg42();

  const UINT32 Mode = ResolveModeField(Config);
  ProgramDev14F3Mmio(Config, In, Mode);

  ProgramPciTable(SbPciInitTable, kSbPciInitTableUnits);
  ProgramMmioTable(Config->PlatformMmioTable);

  ClearRtcRegisterABit4();
  OneTimeReset(Config);
  ProgramRemaining(Config, W15);
}

}  // namespace sbpei
