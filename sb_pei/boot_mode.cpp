// Boot-mode detection from the ACPI sleep type.
#include "sb_pei/sb_pei.h"

namespace sbpei {

// Not yet implemented: reports no resume.
EFI_BOOT_MODE EFIAPI SbGetSleepBootMode(const EFI_PEI_SERVICES **) { return BOOT_WITH_FULL_CONFIGURATION; }

// Not yet implemented: leaves the boot mode as it is.
EFI_STATUS SbDetectBootMode(const EFI_PEI_SERVICES **, SB_PRIVATE_DATA *) { return EFI_SUCCESS; }

}  // namespace sbpei
