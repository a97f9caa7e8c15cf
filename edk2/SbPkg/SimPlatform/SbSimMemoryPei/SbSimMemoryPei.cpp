// Simulator platform PEIM: the permanent memory of the simulated board. It describes the memory
// in a resource HOB (for DXE) and installs it, after which the PEI core moves its heap and stack
// out of temporary RAM and dispatches what waits for memory.
extern "C" {
#include <PiPei.h>
#include <Library/DebugLib.h>
#include <Library/HobLib.h>
#include <Library/PeiServicesLib.h>
}

#include "SimPlatform/SimMemoryMap.h"

namespace {

constexpr EFI_RESOURCE_ATTRIBUTE_TYPE kTestedSystemMemory =
    EFI_RESOURCE_ATTRIBUTE_PRESENT | EFI_RESOURCE_ATTRIBUTE_INITIALIZED | EFI_RESOURCE_ATTRIBUTE_TESTED |
    EFI_RESOURCE_ATTRIBUTE_UNCACHEABLE | EFI_RESOURCE_ATTRIBUTE_WRITE_COMBINEABLE |
    EFI_RESOURCE_ATTRIBUTE_WRITE_THROUGH_CACHEABLE | EFI_RESOURCE_ATTRIBUTE_WRITE_BACK_CACHEABLE;

}  // namespace

extern "C" EFI_STATUS EFIAPI SbSimMemoryPeiEntry(EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **) {
  BuildResourceDescriptorHob(EFI_RESOURCE_SYSTEM_MEMORY, kTestedSystemMemory, sbsim::kPermanentMemoryBase,
                             sbsim::kPermanentMemorySize);
  const EFI_STATUS Status = PeiServicesInstallPeiMemory(sbsim::kPermanentMemoryBase, sbsim::kPermanentMemorySize);
  DEBUG((DEBUG_LOAD, "SbSimMemoryPei: permanent memory 0x%lx-0x%lx: %r\n", (UINT64)sbsim::kPermanentMemoryBase,
         (UINT64)(sbsim::kPermanentMemoryBase + sbsim::kPermanentMemorySize - 1), Status));
  return Status;
}
