// Reset and Stall PPIs.
#include "pi/ppi/stall.h"
#include "sb_pei/register/cpu_io_ppi.h"
#include "sb_pei/register/hardware.h"
#include "sb_pei/register/stall.h"
#include "sb_pei/sb_pei.h"

namespace sbpei {
namespace {

constexpr UINT16 kResetControlPort = 0xCF9;
constexpr UINT8 kFullReset = 0x06;  // bit 1 system reset, bit 2 reset the CPU

}  // namespace

EFI_STATUS EFIAPI SbResetSystem(const EFI_PEI_SERVICES **PeiServices) {
  CpuIoWrite8(PeiServices, kResetControlPort, kFullReset);
  // A reset service does not return: wait here until the reset takes hold.
  for (;;) CpuPause();
}

EFI_STATUS EFIAPI SbPeiStall(const EFI_PEI_SERVICES **, const EFI_PEI_STALL_PPI *, UINTN Microseconds) {
  // The count is 32 bits on IA32; a wider UINTN (X64 callers) is waited in 32-bit pieces.
  UINT64 Remaining = Microseconds;
  while (Remaining > 0xFFFFFFFFull) {
    SbStall(0xFFFFFFFF);
    Remaining -= 0xFFFFFFFFull;
  }
  SbStall(static_cast<UINT32>(Remaining));
  return EFI_SUCCESS;
}

}  // namespace sbpei
