// Simulator instance of SbPei's hardware seam: each instruction becomes one access on the
// current machine.
#include "sb_pei/register/hardware.h"
#include "sim/machine/machine.h"

namespace sbpei {

using sim::Machine;

UINT8 ReadPort8(UINT16 Port) { return static_cast<UINT8>(Machine::current().io_read(Port, 8)); }
UINT16 ReadPort16(UINT16 Port) { return static_cast<UINT16>(Machine::current().io_read(Port, 16)); }
UINT32 ReadPort32(UINT16 Port) { return Machine::current().io_read(Port, 32); }
void WritePort8(UINT16 Port, UINT8 Value) { Machine::current().io_write(Port, 8, Value); }
void WritePort16(UINT16 Port, UINT16 Value) { Machine::current().io_write(Port, 16, Value); }
void WritePort32(UINT16 Port, UINT32 Value) { Machine::current().io_write(Port, 32, Value); }

UINT8 MmioRead8(UINT32 Address) { return static_cast<UINT8>(Machine::current().mem_read(Address, 8)); }
UINT16 MmioRead16(UINT32 Address) { return static_cast<UINT16>(Machine::current().mem_read(Address, 16)); }
UINT32 MmioRead32(UINT32 Address) { return Machine::current().mem_read(Address, 32); }
void MmioWrite8(UINT32 Address, UINT8 Value) { Machine::current().mem_write(Address, 8, Value); }
void MmioWrite16(UINT32 Address, UINT16 Value) { Machine::current().mem_write(Address, 16, Value); }
void MmioWrite32(UINT32 Address, UINT32 Value) { Machine::current().mem_write(Address, 32, Value); }

void CpuPause() { Machine::current().pause(); }

}  // namespace sbpei
