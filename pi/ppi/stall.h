// EFI_PEI_STALL_PPI (PI volume 1).
#pragma once
#include "pi/pei_services.h"

#if defined(SB_PI_FROM_MDEPKG)
// Its GUID is ours (below, a constant in the image, not a writable AutoGen copy): MdePkg's
// extern declaration is renamed out of the way.
#pragma push_macro("gEfiPeiStallPpiGuid")
#undef gEfiPeiStallPpiGuid
#define gEfiPeiStallPpiGuid SbMdePkgDeclared_gEfiPeiStallPpiGuid
#include <Ppi/Stall.h>
#pragma pop_macro("gEfiPeiStallPpiGuid")
#endif

SB_PI_OWN_BEGIN

struct EFI_PEI_STALL_PPI;

typedef EFI_STATUS(EFIAPI *EFI_PEI_STALL)(const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_STALL_PPI *This,
                                          UINTN Microseconds);

struct EFI_PEI_STALL_PPI {
  UINTN Resolution;
  EFI_PEI_STALL Stall;
};

SB_PI_OWN_END

inline constexpr EFI_GUID gEfiPeiStallPpiGuid = {
    0x1f4c6f90, 0xb06b, 0x48d8, {0xa2, 0x01, 0xba, 0xe5, 0xf1, 0xcd, 0x7d, 0x56}};
