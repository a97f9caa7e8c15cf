// SMBus host controller PPIs.
#include "sb_pei/sb_pei.h"

namespace sbpei {

// Not yet implemented: installs nothing.
EFI_STATUS InstallSmbusPpi(const EFI_PEI_SERVICES **) { return EFI_SUCCESS; }

}  // namespace sbpei
