// Reset and Stall PPIs.
#include "sb_pei/sb_pei.h"

namespace sbpei {

// Not yet implemented.
EFI_STATUS EFIAPI SbResetSystem(const EFI_PEI_SERVICES **) { return EFI_UNSUPPORTED; }

// Not yet implemented.
EFI_STATUS EFIAPI SbPeiStall(const EFI_PEI_SERVICES **, const EFI_PEI_STALL_PPI *, UINTN) { return EFI_SUCCESS; }

}  // namespace sbpei
