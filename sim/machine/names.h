// Readable names of statuses and boot modes.
#pragma once
#include <string>

#include "pi/base.h"

namespace sim {

std::string status_name(EFI_STATUS status);
std::string boot_mode_name(EFI_BOOT_MODE mode);
std::string smbus_operation_name(unsigned operation);

}  // namespace sim
