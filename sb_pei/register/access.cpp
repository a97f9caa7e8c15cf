// Width-coded register access over the hardware seam. The buffers are moved byte by byte
// so that a 1- or 2-byte access never touches the caller's bytes beyond its width, and so
// that an unaligned buffer is fine.
#include "sb_pei/register/access.h"

#include "sb_pei/register/hardware.h"

namespace sbpei {
namespace {

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

bool ValidWidth(UINT8 Width) { return (Width & kWidthFlagMask) <= kWidth32; }

// A PCI access is made only for a valid width and a register below 0xFF; otherwise not even
// the configuration address is written.
bool PciAccessible(UINT32 Word, UINT8 Width) {
  return ValidWidth(Width) && (Word & 0xFFFF) < kPciFirstUnreachableRegister;
}

void SelectPciRegister(UINT32 Word) {
  const UINT32 Address = PciConfigAddress(Word);
  WriteIo(kPciConfigAddressPort, kWidth32, &Address);
}

}  // namespace

void ReadMem(UINT32 Address, UINT8 Width, void *Buffer) {
  switch (Width & kWidthFlagMask) {
    case kWidth8: StoreLe(Buffer, MmioRead8(Address), 1); break;
    case kWidth16: StoreLe(Buffer, MmioRead16(Address), 2); break;
    case kWidth32: StoreLe(Buffer, MmioRead32(Address), 4); break;
    default: break;
  }
}

void WriteMem(UINT32 Address, UINT8 Width, const void *Buffer) {
  switch (Width & kWidthFlagMask) {
    case kWidth8: MmioWrite8(Address, static_cast<UINT8>(LoadLe(Buffer, 1))); break;
    case kWidth16: MmioWrite16(Address, static_cast<UINT16>(LoadLe(Buffer, 2))); break;
    case kWidth32: MmioWrite32(Address, LoadLe(Buffer, 4)); break;
    default: break;
  }
}

void RwMem(UINT32 Address, UINT8 Width, UINT32 AndMask, UINT32 OrMask) {
  UINT32 Temp = 0;
  ReadMem(Address, Width, &Temp);
  Temp = (Temp & AndMask) | OrMask;
  WriteMem(Address, Width, &Temp);
}

void ReadIo(UINT32 Port, UINT8 Width, void *Buffer) {
  const UINT16 P = static_cast<UINT16>(Port);
  switch (Width & kWidthFlagMask) {
    case kWidth8: StoreLe(Buffer, ReadPort8(P), 1); break;
    case kWidth16: StoreLe(Buffer, ReadPort16(P), 2); break;
    case kWidth32: StoreLe(Buffer, ReadPort32(P), 4); break;
    default: break;
  }
}

void WriteIo(UINT32 Port, UINT8 Width, const void *Buffer) {
  const UINT16 P = static_cast<UINT16>(Port);
  switch (Width & kWidthFlagMask) {
    case kWidth8: WritePort8(P, static_cast<UINT8>(LoadLe(Buffer, 1))); break;
    case kWidth16: WritePort16(P, static_cast<UINT16>(LoadLe(Buffer, 2))); break;
    case kWidth32: WritePort32(P, LoadLe(Buffer, 4)); break;
    default: break;
  }
}

void ReadPci(UINT32 Word, UINT8 Width, void *Buffer) {
  if (!PciAccessible(Word, Width)) return;
  SelectPciRegister(Word);
  ReadIo(PciDataPort(Word), Width & kWidthFlagMask, Buffer);
}

void WritePci(UINT32 Word, UINT8 Width, const void *Buffer) {
  if (!PciAccessible(Word, Width)) return;
  SelectPciRegister(Word);
  WriteIo(PciDataPort(Word), Width & kWidthFlagMask, Buffer);
}

void RwPci(UINT32 Word, UINT8 Width, UINT32 AndMask, UINT32 OrMask) {
  UINT32 Temp = 0;
  ReadPci(Word, Width, &Temp);
  Temp = (Temp & AndMask) | OrMask;
  WritePci(Word, Width, &Temp);
}

}  // namespace sbpei
