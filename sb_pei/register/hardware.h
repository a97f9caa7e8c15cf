// The hardware seam of SbPei: the only places where the module touches hardware.
// Each is one port instruction or one volatile load/store of its width. Two instances
// exist: hardware_firmware.cpp (real instructions, in the image) and the simulator's,
// chosen when the program is linked.
#pragma once
#include "pi/base.h"

namespace sbpei {

UINT8 ReadPort8(UINT16 Port);
UINT16 ReadPort16(UINT16 Port);
UINT32 ReadPort32(UINT16 Port);
void WritePort8(UINT16 Port, UINT8 Value);
void WritePort16(UINT16 Port, UINT16 Value);
void WritePort32(UINT16 Port, UINT32 Value);

UINT8 MmioRead8(UINT32 Address);
UINT16 MmioRead16(UINT32 Address);
UINT32 MmioRead32(UINT32 Address);
void MmioWrite8(UINT32 Address, UINT8 Value);
void MmioWrite16(UINT32 Address, UINT16 Value);
void MmioWrite32(UINT32 Address, UINT32 Value);

// One spin-wait hint (the `pause` instruction), for loops that wait on nothing but time.
void CpuPause();

}  // namespace sbpei
