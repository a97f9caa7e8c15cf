// Indexed southbridge register spaces, built on the width-coded access routines.
#include "sb_pei/register/indexed.h"

#include "sb_pei/register/access.h"
#include "sb_pei/register/cpu_io_ppi.h"

namespace sbpei {
namespace {

constexpr UINT16 kPmIndexPort = 0xCD6;
constexpr UINT16 kPmDataPort = 0xCD7;
constexpr UINT16 kAlinkIndexPort = 0xCD8;
constexpr UINT16 kAlinkDataPort = 0xCDC;

// A-Link address classes (bits 29-31) and the indirect pairs that reach classes 0 and 2.
constexpr UINT32 kAlinkClassShift = 29;
constexpr UINT32 kAlinkOffsetMask = 0x1FFFFFFF;
constexpr UINT32 kAlinkClass0Index = 0x00000030;
constexpr UINT32 kAlinkClass0Data = 0x00000034;
constexpr UINT32 kAlinkClass2Index = 0x40000038;
constexpr UINT32 kAlinkClass2Data = 0x4000003C;

constexpr UINT32 kMiscReg80 = 0xFED80E80;
constexpr UINT32 kPmRegC8 = 0xFED803C8;  // bit 5 selects bank 1 of the PM window
constexpr UINT32 kPmWindowIndex = 0xFED803D8;
constexpr UINT32 kPmWindowData = 0xFED803D9;
constexpr UINT32 kPmWindowBank1 = 0x20;

// Bytes moved for a width code: 1, 2 or 4; 0 for a code that makes no access.
UINT32 PmByteCount(UINT8 Width) {
  const UINT32 W = Width & kWidthFlagMask;
  return W <= kWidth32 ? W + 1 + (W == kWidth32 ? 1 : 0) : 0;
}

}  // namespace

void ReadPm(UINT32 Register, UINT8 Width, void *Buffer) {
  UINT8 *Bytes = static_cast<UINT8 *>(Buffer);
  UINT8 Index = static_cast<UINT8>(Register);
  for (UINT32 I = 0; I < PmByteCount(Width); ++I) {
    OutIo(kPmIndexPort, kWidth8, Index++);  // the next register, wrapping within 8 bits
    Bytes[I] = static_cast<UINT8>(InIo(kPmDataPort, kWidth8));
  }
}

void WritePm(UINT32 Register, UINT8 Width, const void *Buffer) {
  const UINT8 *Bytes = static_cast<const UINT8 *>(Buffer);
  UINT8 Index = static_cast<UINT8>(Register);
  for (UINT32 I = 0; I < PmByteCount(Width); ++I) {
    OutIo(kPmIndexPort, kWidth8, Index++);
    OutIo(kPmDataPort, kWidth8, Bytes[I]);
  }
}

void RwPm(UINT32 Register, UINT8 Width, UINT32 AndMask, UINT32 OrMask) {
  UINT32 Value = 0;
  ReadPm(Register, Width, &Value);
  Value = (Value & AndMask) | OrMask;
  WritePm(Register, Width, &Value);
}

UINT8 ReadPmPpi(const EFI_PEI_SERVICES **PeiServices, UINT8 Register) {
  CpuIoWrite8(PeiServices, kPmIndexPort, Register);
  return CpuIoRead8(PeiServices, kPmDataPort);
}

UINT16 ReadPmWordPpi(const EFI_PEI_SERVICES **PeiServices, UINT8 Register) {
  const UINT8 Low = ReadPmPpi(PeiServices, Register);
  const UINT8 High = ReadPmPpi(PeiServices, static_cast<UINT8>(Register + 1));
  return static_cast<UINT16>(High << 8 | Low);
}

UINT32 ReadAlink(UINT32 Index) {
  OutIo(kAlinkIndexPort, kWidth32, Index);
  const UINT32 Value = InIo(kAlinkDataPort, kWidth32);
  OutIo(kAlinkIndexPort, kWidth32, 0);
  return Value;
}

void WriteAlink(UINT32 Index, UINT32 Value) {
  OutIo(kAlinkIndexPort, kWidth32, Index);
  OutIo(kAlinkDataPort, kWidth32, Value);
  OutIo(kAlinkIndexPort, kWidth32, 0);
}

void RwAlink(UINT32 Address, UINT32 AndMask, UINT32 OrMask) {
  UINT32 Target = Address;
  switch (Address >> kAlinkClassShift) {
    case 0:
      WriteAlink(kAlinkClass0Index, Address & kAlinkOffsetMask);
      Target = kAlinkClass0Data;
      break;
    case 2:
      WriteAlink(kAlinkClass2Index, Address & kAlinkOffsetMask);
      Target = kAlinkClass2Data;
      break;
    default:  // every other class is an A-Link register itself
      break;
  }
  WriteAlink(Target, (ReadAlink(Target) & AndMask) | OrMask);
}

void ReadMisc80(UINT8 *Buffer) { *Buffer = static_cast<UINT8>(InMem(kMiscReg80, kWidth8)); }

void ReadPmWindow(UINT8 *Data) {
  RwMem(kPmRegC8, kWidth8, ~kPmWindowBank1, kPmWindowBank1);
  OutMem(kPmWindowIndex, kWidth8, *Data);
  *Data = static_cast<UINT8>(InMem(kPmWindowData, kWidth8));
  RwMem(kPmRegC8, kWidth8, ~kPmWindowBank1, 0);
}

}  // namespace sbpei
