// The hardware seam of CmosErrorPrompt: plain 8-bit port instructions. Two instances exist,
// the real instructions in the image and the simulator's, chosen when the program is linked.
#pragma once
#include "pi/base.h"

namespace cmos_prompt {

UINT8 ReadPort8(UINT16 Port);
void WritePort8(UINT16 Port, UINT8 Value);

}  // namespace cmos_prompt
