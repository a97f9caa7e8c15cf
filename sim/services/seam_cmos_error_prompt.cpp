// Simulator instance of CmosErrorPrompt's hardware seam.
#include "cmos_error_prompt/hardware.h"
#include "sim/machine/machine.h"

namespace cmos_prompt {

UINT8 ReadPort8(UINT16 Port) { return static_cast<UINT8>(sim::Machine::current().io_read(Port, 8)); }
void WritePort8(UINT16 Port, UINT8 Value) { sim::Machine::current().io_write(Port, 8, Value); }

}  // namespace cmos_prompt
