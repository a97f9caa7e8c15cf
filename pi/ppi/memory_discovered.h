// EFI_PEI_PERMANENT_MEMORY_INSTALLED_PPI (PI volume 1): installed by the PEI core once it runs
// from permanent memory, with its heap (the HOB list) and stack moved out of temporary RAM. It
// has no interface.
#pragma once
#include "pi/pei_services.h"

#if defined(SB_PI_FROM_MDEPKG)
// Its GUID is ours (below, a constant in the image, not a writable AutoGen copy): MdePkg's
// extern declaration is renamed out of the way.
#pragma push_macro("gEfiPeiMemoryDiscoveredPpiGuid")
#undef gEfiPeiMemoryDiscoveredPpiGuid
#define gEfiPeiMemoryDiscoveredPpiGuid SbMdePkgDeclared_gEfiPeiMemoryDiscoveredPpiGuid
#include <Ppi/MemoryDiscovered.h>
#pragma pop_macro("gEfiPeiMemoryDiscoveredPpiGuid")
#endif

inline constexpr EFI_GUID gEfiPeiMemoryDiscoveredPpiGuid = {
    0xf894643d, 0xc449, 0x42d1, {0x8e, 0xa8, 0x85, 0xbd, 0xd8, 0xc6, 0x5b, 0xde}};
