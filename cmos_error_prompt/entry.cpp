// Driver entry point.
#include "cmos_error_prompt/cmos_error_prompt.h"

// Not yet implemented: registers nothing.
extern "C" EFI_STATUS EFIAPI CmosErrorPromptEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *) { return EFI_SUCCESS; }
