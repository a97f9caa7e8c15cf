// Busy-wait delay on the ACPI PM timer.
#pragma once
#include "pi/base.h"

namespace sbpei {

void SbStall(UINT32 Microseconds);

}  // namespace sbpei
