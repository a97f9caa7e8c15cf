// Indexed southbridge register spaces: PM registers (ports 0xCD6/0xCD7, or through the CPU I/O
// PPI), A-Link registers (ports 0xCD8/0xCDC), one misc register and the PM window.
#pragma once
#include "pi/pei_services.h"

namespace sbpei {

// PM registers through the index/data ports, 1, 2 or 4 bytes from width codes 0, 1, 2.
void ReadPm(UINT32 Register, UINT8 Width, void *Buffer);
void WritePm(UINT32 Register, UINT8 Width, const void *Buffer);
void RwPm(UINT32 Register, UINT8 Width, UINT32 AndMask, UINT32 OrMask);

// PM registers through the CPU I/O PPI (usable before the register layer is set up).
UINT8 ReadPmPpi(const EFI_PEI_SERVICES **PeiServices, UINT8 Register);
UINT16 ReadPmWordPpi(const EFI_PEI_SERVICES **PeiServices, UINT8 Register);

// A-Link registers: 32-bit, each access leaves the index port at 0.
UINT32 ReadAlink(UINT32 Index);
void WriteAlink(UINT32 Index, UINT32 Value);
void RwAlink(UINT32 Address, UINT32 AndMask, UINT32 OrMask);

void ReadMisc80(UINT8 *Buffer);
void ReadPmWindow(UINT8 *Data);

}  // namespace sbpei
