// Names of the GUIDs this bench knows, for summaries and traces.
#pragma once
#include <string>

#include "pi/base.h"

namespace sim {

// The GUID's name (for example "EFI_PEI_STALL_PPI"), or its registry form when unknown.
std::string guid_name(const EFI_GUID &guid);

}  // namespace sim
