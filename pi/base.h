// Base types, status codes and GUIDs of the UEFI and PI specifications.
// Header only; used by the firmware modules (freestanding) and by the host simulator.
#pragma once

// Calling convention of every PI/UEFI service. The images use the target's default
// (cdecl on IA32, Microsoft x64 on X64). On the Linux host we keep the Microsoft x64
// convention, as on an X64 board, so that function tables look the same.
#if defined(__x86_64__) && !defined(_WIN32)
#define EFIAPI __attribute__((ms_abi))
#else
#define EFIAPI
#endif

#define IN
#define OUT
#define OPTIONAL
#define CONST const

using UINT8 = unsigned char;
using UINT16 = unsigned short;
using UINT32 = unsigned int;
using INT8 = signed char;
using INT16 = short;
using INT32 = int;
// 8-aligned everywhere, as the images lay it out (a plain 32-bit g++ build would 4-align it).
typedef unsigned long long UINT64 __attribute__((aligned(8)));
typedef long long INT64 __attribute__((aligned(8)));
using UINTN = __UINTPTR_TYPE__;
using INTN = __INTPTR_TYPE__;
using BOOLEAN = unsigned char;
using CHAR8 = char;
using CHAR16 = char16_t;
using VOID = void;

static_assert(sizeof(UINT8) == 1 && sizeof(UINT16) == 2 && sizeof(UINT32) == 4 && sizeof(UINT64) == 8);
static_assert(sizeof(UINTN) == sizeof(void *));
static_assert(alignof(UINT64) == 8);

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

using EFI_STATUS = UINTN;
using EFI_HANDLE = VOID *;
using EFI_EVENT = VOID *;
using EFI_TPL = UINTN;
using EFI_PHYSICAL_ADDRESS = UINT64;
using EFI_VIRTUAL_ADDRESS = UINT64;

// Status codes: errors carry the top bit of a UINTN (0x80000000 on IA32,
// 0x8000000000000000 on X64).
constexpr EFI_STATUS EFI_ERROR_BIT = static_cast<EFI_STATUS>(1) << (sizeof(EFI_STATUS) * 8 - 1);
constexpr EFI_STATUS EncodeError(UINTN Code) { return EFI_ERROR_BIT | Code; }
constexpr bool EFI_ERROR(EFI_STATUS Status) { return (Status & EFI_ERROR_BIT) != 0; }

constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_LOAD_ERROR = EncodeError(1);
constexpr EFI_STATUS EFI_INVALID_PARAMETER = EncodeError(2);
constexpr EFI_STATUS EFI_UNSUPPORTED = EncodeError(3);
constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EncodeError(4);
constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EncodeError(5);
constexpr EFI_STATUS EFI_NOT_READY = EncodeError(6);
constexpr EFI_STATUS EFI_DEVICE_ERROR = EncodeError(7);
constexpr EFI_STATUS EFI_WRITE_PROTECTED = EncodeError(8);
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EncodeError(9);
constexpr EFI_STATUS EFI_NOT_FOUND = EncodeError(14);
constexpr EFI_STATUS EFI_ACCESS_DENIED = EncodeError(15);
constexpr EFI_STATUS EFI_TIMEOUT = EncodeError(18);
constexpr EFI_STATUS EFI_ALREADY_STARTED = EncodeError(20);
constexpr EFI_STATUS EFI_ABORTED = EncodeError(21);

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

// Byte-for-byte comparison of two GUIDs, written out so no library call is needed.
constexpr bool GuidsEqual(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) return false;
  for (int I = 0; I < 8; ++I) {
    if (A.Data4[I] != B.Data4[I]) return false;
  }
  return true;
}

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

// Boot modes (PI volume 1).
using EFI_BOOT_MODE = UINT32;
constexpr EFI_BOOT_MODE BOOT_WITH_FULL_CONFIGURATION = 0x00;
constexpr EFI_BOOT_MODE BOOT_WITH_MINIMAL_CONFIGURATION = 0x01;
constexpr EFI_BOOT_MODE BOOT_ASSUMING_NO_CONFIGURATION_CHANGES = 0x02;
constexpr EFI_BOOT_MODE BOOT_WITH_FULL_CONFIGURATION_PLUS_DIAGNOSTICS = 0x03;
constexpr EFI_BOOT_MODE BOOT_WITH_DEFAULT_SETTINGS = 0x04;
constexpr EFI_BOOT_MODE BOOT_ON_S4_RESUME = 0x05;
constexpr EFI_BOOT_MODE BOOT_ON_S5_RESUME = 0x06;
constexpr EFI_BOOT_MODE BOOT_WITH_MFG_MODE_SETTINGS = 0x07;
constexpr EFI_BOOT_MODE BOOT_ON_S2_RESUME = 0x10;
constexpr EFI_BOOT_MODE BOOT_ON_S3_RESUME = 0x11;
constexpr EFI_BOOT_MODE BOOT_ON_FLASH_UPDATE = 0x12;
constexpr EFI_BOOT_MODE BOOT_IN_RECOVERY_MODE = 0x20;

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiMaxMemoryType
};

enum EFI_RESET_TYPE : UINT32 { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific };

using EFI_STATUS_CODE_TYPE = UINT32;
using EFI_STATUS_CODE_VALUE = UINT32;
struct EFI_STATUS_CODE_DATA {
  UINT16 HeaderSize;
  UINT16 Size;
  EFI_GUID Type;
};
