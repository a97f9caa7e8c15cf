// EFI_PEI_RESET_PPI (PI volume 1).
#pragma once
#include "pi/pei_services.h"

#if defined(SB_PI_FROM_MDEPKG)
// Its GUID is ours (below, a constant in the image, not a writable AutoGen copy): MdePkg's
// extern declaration is renamed out of the way.
#pragma push_macro("gEfiPeiResetPpiGuid")
#undef gEfiPeiResetPpiGuid
#define gEfiPeiResetPpiGuid SbMdePkgDeclared_gEfiPeiResetPpiGuid
#include <Ppi/Reset.h>
#pragma pop_macro("gEfiPeiResetPpiGuid")
#endif

SB_PI_OWN_BEGIN

struct EFI_PEI_RESET_PPI {
  EFI_PEI_RESET_SYSTEM ResetSystem;
};

SB_PI_OWN_END

inline constexpr EFI_GUID gEfiPeiResetPpiGuid = {
    0xef398d58, 0x9dfd, 0x4103, {0xbf, 0x94, 0x78, 0xc6, 0xf4, 0xfe, 0x71, 0x2f}};
