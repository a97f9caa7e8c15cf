// Hand-off blocks (PI volume 3).
#pragma once
#include "pi/base.h"

#if defined(SB_PI_FROM_MDEPKG)
#include <Pi/PiHob.h>
#endif

SB_PI_OWN_BEGIN

struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8);

// Phase handoff information table: always the first HOB of the list.
struct EFI_HOB_HANDOFF_INFO_TABLE {
  EFI_HOB_GENERIC_HEADER Header;
  UINT32 Version;
  EFI_BOOT_MODE BootMode;
  EFI_PHYSICAL_ADDRESS EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiEndOfHobList;
};
static_assert(__builtin_offsetof(EFI_HOB_HANDOFF_INFO_TABLE, BootMode) == 12);
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 56);

struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
  // GUID-specific data follows.
};
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24);

struct EFI_HOB_MEMORY_POOL {
  EFI_HOB_GENERIC_HEADER Header;
};

SB_PI_OWN_END

#if !defined(SB_PI_FROM_MDEPKG)
constexpr UINT16 EFI_HOB_TYPE_HANDOFF = 0x0001;
constexpr UINT16 EFI_HOB_TYPE_MEMORY_ALLOCATION = 0x0002;
constexpr UINT16 EFI_HOB_TYPE_RESOURCE_DESCRIPTOR = 0x0003;
constexpr UINT16 EFI_HOB_TYPE_GUID_EXTENSION = 0x0004;
constexpr UINT16 EFI_HOB_TYPE_FV = 0x0005;
constexpr UINT16 EFI_HOB_TYPE_CPU = 0x0006;
constexpr UINT16 EFI_HOB_TYPE_MEMORY_POOL = 0x0007;
constexpr UINT16 EFI_HOB_TYPE_UNUSED = 0xFFFE;
constexpr UINT16 EFI_HOB_TYPE_END_OF_HOB_LIST = 0xFFFF;
constexpr UINT32 EFI_HOB_HANDOFF_TABLE_VERSION = 0x0009;
#endif
