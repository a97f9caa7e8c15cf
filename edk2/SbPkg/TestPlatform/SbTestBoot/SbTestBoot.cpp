// Test platform boot target: the "operating system" the runner hands QEMU as its kernel. OVMF
// signals ready-to-boot before it starts it, which is when the test platform's DXE driver runs
// the prompt; that driver ends the run. Reaching this image means it did not.
// EDK2 library headers are C.
extern "C" {
#include <Library/IoLib.h>
}

#include "pi/uefi.h"
#include "TestPlatform/Report.h"

extern "C" EFI_STATUS EFIAPI SbTestBootMain(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  SB_TEST_REPORT("SBTEST boot: boot target reached without a prompt outcome\n");
  IoWrite8(0xF4, 0x11);  // QEMU exits with (0x11 << 1) | 1 = 35
  return EFI_SUCCESS;
}
