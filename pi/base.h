// Base types, status codes and GUIDs of the UEFI and PI specifications.
// Header only; used by the firmware modules (freestanding) and by the host simulator.
//
// Two builds use these headers. Ours (the host simulator, the clang images) takes the
// declarations below as they stand. The EDK2 build defines SB_PI_FROM_MDEPKG: there AutoGen.h
// has already brought MdePkg's definitions, which the modules then use; our own declarations
// of the same structures are still compiled, inside namespace pi_own, so that
// pi/mdepkg_layout_checks.cpp can prove both have the same sizes and member offsets. Constants
// and GUIDs that MdePkg also defines (mostly as macros) are ours only outside EDK2. What
// MdePkg lacks is declared here for both builds.
#pragma once

#if defined(SB_PI_FROM_MDEPKG)
#define SB_PI_OWN_BEGIN namespace pi_own {
#define SB_PI_OWN_END }
#else
#define SB_PI_OWN_BEGIN
#define SB_PI_OWN_END

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
#endif

SB_PI_OWN_BEGIN

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
#if !defined(SB_PI_FROM_MDEPKG)
using VOID = void;  // a macro in MdePkg
#endif

static_assert(sizeof(UINT8) == 1 && sizeof(UINT16) == 2 && sizeof(UINT32) == 4 && sizeof(UINT64) == 8);
static_assert(sizeof(UINTN) == sizeof(void *));
static_assert(alignof(UINT64) == 8);

using EFI_STATUS = UINTN;
using EFI_HANDLE = VOID *;
using EFI_EVENT = VOID *;
using EFI_TPL = UINTN;
using EFI_PHYSICAL_ADDRESS = UINT64;
using EFI_VIRTUAL_ADDRESS = UINT64;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

using EFI_BOOT_MODE = UINT32;

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
  EfiUnacceptedMemoryType,  // UEFI 2.9
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

SB_PI_OWN_END

// Status codes: errors carry the top bit of a UINTN (0x80000000 on IA32,
// 0x8000000000000000 on X64).
constexpr EFI_STATUS EFI_ERROR_BIT = static_cast<EFI_STATUS>(1) << (sizeof(EFI_STATUS) * 8 - 1);
constexpr EFI_STATUS EncodeError(UINTN Code) { return EFI_ERROR_BIT | Code; }

#if !defined(SB_PI_FROM_MDEPKG)
constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

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
constexpr bool EFI_ERROR(EFI_STATUS Status) { return (Status & EFI_ERROR_BIT) != 0; }

// Boot modes (PI volume 1).
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
#endif

// Byte-for-byte comparison of two GUIDs, written out so no library call is needed.
constexpr bool GuidsEqual(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) return false;
  for (int I = 0; I < 8; ++I) {
    if (A.Data4[I] != B.Data4[I]) return false;
  }
  return true;
}

// A UTF-16 string constant whose characters have the build's CHAR16 type (char16_t in ours,
// unsigned short in MdePkg's), made at compile time from a u"" literal:
//   constexpr auto kHello = Utf16(u"Hello");   ... kHello.Text
template <UINTN N>
struct UTF16_TEXT {
  CHAR16 Text[N];
};
template <UINTN N>
constexpr UTF16_TEXT<N> Utf16(const char16_t (&Literal)[N]) {
  UTF16_TEXT<N> Result{};
  for (UINTN I = 0; I < N; ++I) Result.Text[I] = static_cast<CHAR16>(Literal[I]);
  return Result;
}
