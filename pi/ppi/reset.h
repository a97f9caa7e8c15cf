// EFI_PEI_RESET_PPI (PI volume 1).
#pragma once
#include "pi/pei_services.h"

struct EFI_PEI_RESET_PPI {
  EFI_PEI_RESET_SYSTEM ResetSystem;
};

inline constexpr EFI_GUID gEfiPeiResetPpiGuid = {
    0xef398d58, 0x9dfd, 0x4103, {0xbf, 0x94, 0x78, 0xc6, 0xf4, 0xfe, 0x71, 0x2f}};
