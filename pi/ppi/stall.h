// EFI_PEI_STALL_PPI (PI volume 1).
#pragma once
#include "pi/pei_services.h"

struct EFI_PEI_STALL_PPI;

typedef EFI_STATUS(EFIAPI *EFI_PEI_STALL)(const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_STALL_PPI *This,
                                          UINTN Microseconds);

struct EFI_PEI_STALL_PPI {
  UINTN Resolution;
  EFI_PEI_STALL Stall;
};

inline constexpr EFI_GUID gEfiPeiStallPpiGuid = {
    0x1f4c6f90, 0xb06b, 0x48d8, {0xa2, 0x01, 0xba, 0xe5, 0xf1, 0xcd, 0x7d, 0x56}};
