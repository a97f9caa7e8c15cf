// Width-coded register access over the hardware seam. The buffers are moved byte by byte
// so that a 1- or 2-byte access never touches the caller's bytes beyond its width, and so
// that an unaligned buffer is fine. The routines above this layer that need only a value use
// the value forms (InMem, OutMem, InIo, OutIo): the same accesses without a buffer.
#include "sb_pei/register/access.h"

#include "sb_pei/register/hardware.h"

namespace sbpei {
namespace {

bool ValidWidth(UINT8 Width) { return (Width & kWidthFlagMask) <= kWidth32; }

constexpr UINT16 kPciConfigAddressPort = 0xCF8;
// Register 0xFF and anything with bits 8-15 set is out of reach of the 0xCF8 mechanism.
constexpr UINT32 kPciFirstUnreachableRegister = 0xFF;

void StoreLe(void *Buffer, UINT32 Value, UINT32 Bytes) {
  UINT8 *Out = static_cast<UINT8 *>(Buffer);
  for (UINT32 I = 0; I < Bytes; ++I) Out[I] = static_cast<UINT8>(Value >> (8 * I));
}

UINT32 LoadLe(const void *Buffer, UINT32 Bytes) {
  const UINT8 *In = static_cast<const UINT8 *>(Buffer);
  UINT32 Value = 0;
  for (UINT32 I = 0; I < Bytes; ++I) Value |= static_cast<UINT32>(In[I]) << (8 * I);
  return Value;
}

// Bytes moved by a valid width code (0-2 after masking): 1, 2 or 4.
UINT32 ByteCount(UINT32 W) { return W == kWidth32 ? 4 : W + 1; }

// A PCI access is made only for a valid width and a register below 0xFF; otherwise not even
// the configuration address is written.
bool PciAccessible(UINT32 Word, UINT8 Width) {
  return ValidWidth(Width) && (Word & 0xFFFF) < kPciFirstUnreachableRegister;
}

void SelectPciRegister(UINT32 Word) { OutIo(kPciConfigAddressPort, kWidth32, PciConfigAddress(Word)); }

}  // namespace

// The width dispatch: the only places where a width code becomes one access of the seam.
UINT32 InMem(UINT32 Address, UINT8 Width) {
  switch (Width & kWidthFlagMask) {
    case kWidth8: return MmioRead8(Address);
    case kWidth16: return MmioRead16(Address);
    case kWidth32: return MmioRead32(Address);
    default: return 0;
  }
}

void OutMem(UINT32 Address, UINT8 Width, UINT32 Value) {
  switch (Width & kWidthFlagMask) {
    case kWidth8: MmioWrite8(Address, static_cast<UINT8>(Value)); break;
    case kWidth16: MmioWrite16(Address, static_cast<UINT16>(Value)); break;
    case kWidth32: MmioWrite32(Address, Value); break;
    default: break;
  }
}

UINT32 InIo(UINT32 Port, UINT8 Width) {
  const UINT16 P = static_cast<UINT16>(Port);
  switch (Width & kWidthFlagMask) {
    case kWidth8: return ReadPort8(P);
    case kWidth16: return ReadPort16(P);
    case kWidth32: return ReadPort32(P);
    default: return 0;
  }
}

void OutIo(UINT32 Port, UINT8 Width, UINT32 Value) {
  const UINT16 P = static_cast<UINT16>(Port);
  switch (Width & kWidthFlagMask) {
    case kWidth8: WritePort8(P, static_cast<UINT8>(Value)); break;
    case kWidth16: WritePort16(P, static_cast<UINT16>(Value)); break;
    case kWidth32: WritePort32(P, Value); break;
    default: break;
  }
}

// The buffer forms: nothing at all for an invalid width, else exactly the width's bytes.
void ReadMem(UINT32 Address, UINT8 Width, void *Buffer) {
  if (ValidWidth(Width)) StoreLe(Buffer, InMem(Address, Width), ByteCount(Width & kWidthFlagMask));
}

void WriteMem(UINT32 Address, UINT8 Width, const void *Buffer) {
  if (ValidWidth(Width)) OutMem(Address, Width, LoadLe(Buffer, ByteCount(Width & kWidthFlagMask)));
}

void RwMem(UINT32 Address, UINT8 Width, UINT32 AndMask, UINT32 OrMask) {
  if (ValidWidth(Width)) OutMem(Address, Width, (InMem(Address, Width) & AndMask) | OrMask);
}

void ReadIo(UINT32 Port, UINT8 Width, void *Buffer) {
  if (ValidWidth(Width)) StoreLe(Buffer, InIo(Port, Width), ByteCount(Width & kWidthFlagMask));
}

void WriteIo(UINT32 Port, UINT8 Width, const void *Buffer) {
  if (ValidWidth(Width)) OutIo(Port, Width, LoadLe(Buffer, ByteCount(Width & kWidthFlagMask)));
}

UINT32 InPci(UINT32 Word, UINT8 Width) {
  if (!PciAccessible(Word, Width)) return 0;
  SelectPciRegister(Word);
  return InIo(PciDataPort(Word), Width);
}

void OutPci(UINT32 Word, UINT8 Width, UINT32 Value) {
  if (!PciAccessible(Word, Width)) return;
  SelectPciRegister(Word);
  OutIo(PciDataPort(Word), Width, Value);
}

void ReadPci(UINT32 Word, UINT8 Width, void *Buffer) {
  if (PciAccessible(Word, Width)) StoreLe(Buffer, InPci(Word, Width), ByteCount(Width & kWidthFlagMask));
}

void WritePci(UINT32 Word, UINT8 Width, const void *Buffer) {
  if (PciAccessible(Word, Width)) OutPci(Word, Width, LoadLe(Buffer, ByteCount(Width & kWidthFlagMask)));
}

void RwPci(UINT32 Word, UINT8 Width, UINT32 AndMask, UINT32 OrMask) {
  if (!PciAccessible(Word, Width)) return;
  SelectPciRegister(Word);
  const UINT32 Value = (InIo(PciDataPort(Word), Width) & AndMask) | OrMask;
  SelectPciRegister(Word);
  OutIo(PciDataPort(Word), Width, Value);
}

}  // namespace sbpei
