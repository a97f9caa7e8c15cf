// Test platform PEIM: provides the southbridge platform hook PPI before SbPei runs, with the
// settings of the simulator's default board (boards/power-loss.toml), and reports every call.
#include "sb_pei/sb_pei.h"
#include "TestPlatform/Report.h"

namespace {

EFI_STATUS EFIAPI TestPlatformHook(UINT32 HookPoint, UINT32, SB_CONFIG *Config) {
  SB_TEST_REPORT("SBTEST hook: point 0x%x\n", HookPoint);
  if (HookPoint == SbHookAfterDefaults) {
    Config->SmbusBase0 = 0x0B00;
    Config->SmbusBase1 = 0x0B20;
    Config->Dev14F3MmioBase = 0xFEB00000;
    Config->SbFlags = 0x14;  // program the block at Dev14F3MmioBase; A-Link steps
  }
  return EFI_SUCCESS;
}

const SB_PLATFORM_HOOK_PPI kHookPpi = {0, TestPlatformHook};
const EFI_PEI_PPI_DESCRIPTOR kHookPpiDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, const_cast<EFI_GUID *>(&gSbPlatformHookPpiGuid),
    const_cast<SB_PLATFORM_HOOK_PPI *>(&kHookPpi)};

}  // namespace

extern "C" EFI_STATUS EFIAPI SbTestHookPeiEntry(EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **PeiServices) {
  const EFI_STATUS Status = (*PeiServices)->InstallPpi(PeiServices, &kHookPpiDescriptor);
  SB_TEST_REPORT("SBTEST hook: platform hook PPI installed: %r\n", Status);
  return Status;
}
