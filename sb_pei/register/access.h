// Width-coded memory, I/O and PCI configuration register access.
#pragma once
#include "pi/base.h"

namespace sbpei {

// Width code: masked with 0x7F; 0 = 8 bits, 1 = 16 bits, 2 = 32 bits, anything else = no access.
// Bit 7 is a caller's flag that this layer ignores.
constexpr UINT8 kWidthFlagMask = 0x7F;
constexpr UINT8 kWidth8 = 0;
constexpr UINT8 kWidth16 = 1;
constexpr UINT8 kWidth32 = 2;

// PCI address word: bus 24-31, device 19-23, function 16-18, register 0-7.
constexpr UINT32 PciAddress(UINT32 Bus, UINT32 Device, UINT32 Function, UINT32 Register) {
  return Bus << 24 | Device << 19 | Function << 16 | Register;
}

// Configuration address for port 0xCF8: enable bit, bus/device/function, dword register.
constexpr UINT32 PciConfigAddress(UINT32 Word) { return 0x80000000u | ((Word >> 8) & 0x00FFFF00u) | (Word & 0xFCu); }
// Data port: the two low register bits choose the byte lane of 0xCFC-0xCFF.
constexpr UINT16 PciDataPort(UINT32 Word) { return static_cast<UINT16>(0xCFC + (Word & 3)); }

// Value forms of the width dispatch: one access of the width; an invalid width code makes no
// access (a read gives 0).
UINT32 InMem(UINT32 Address, UINT8 Width);
void OutMem(UINT32 Address, UINT8 Width, UINT32 Value);
UINT32 InIo(UINT32 Port, UINT8 Width);
void OutIo(UINT32 Port, UINT8 Width, UINT32 Value);
// The same for PCI configuration registers: nothing at all (and a read of 0) for a bad width
// code or an unreachable register.
UINT32 InPci(UINT32 PciAddress, UINT8 Width);
void OutPci(UINT32 PciAddress, UINT8 Width, UINT32 Value);

void ReadMem(UINT32 Address, UINT8 Width, void *Buffer);
void WriteMem(UINT32 Address, UINT8 Width, const void *Buffer);
void RwMem(UINT32 Address, UINT8 Width, UINT32 AndMask, UINT32 OrMask);

void ReadIo(UINT32 Port, UINT8 Width, void *Buffer);
void WriteIo(UINT32 Port, UINT8 Width, const void *Buffer);

void ReadPci(UINT32 PciAddress, UINT8 Width, void *Buffer);
void WritePci(UINT32 PciAddress, UINT8 Width, const void *Buffer);
void RwPci(UINT32 PciAddress, UINT8 Width, UINT32 AndMask, UINT32 OrMask);

}  // namespace sbpei
