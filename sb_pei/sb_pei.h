// SbPei: the southbridge PEI module. Private data, configuration block, hook points and the
// operations that the module's files provide to each other.
#pragma once
#include "pi/pei_services.h"
#include "pi/ppi/stall.h"

// ---- GUIDs -------------------------------------------------------------------------------

inline constexpr EFI_GUID gSbPrivatePpiGuid = {
    0x484c0805, 0x06bc, 0x4897, {0x96, 0xb6, 0xc1, 0xee, 0xcf, 0x6b, 0x9d, 0xed}};
inline constexpr EFI_GUID gSbOptionalPpiGuid = {
    0xac6c92d1, 0xefcb, 0x4996, {0x95, 0x02, 0x4b, 0x3c, 0x35, 0x01, 0xda, 0x58}};
inline constexpr EFI_GUID gSbInitDonePpiGuid = {
    0x9b584afb, 0x600d, 0x42b5, {0x82, 0xdb, 0x2d, 0xbc, 0x9d, 0xc0, 0xa9, 0x80}};
inline constexpr EFI_GUID gSbConfigHobGuid = {
    0xe44a67c6, 0x1fef, 0x4805, {0xab, 0xf4, 0x10, 0xa7, 0x58, 0xbe, 0x81, 0x75}};
inline constexpr EFI_GUID gSbPlatformHookPpiGuid = {
    0xee6cca1f, 0xecbd, 0x4b39, {0xad, 0xd8, 0x90, 0x3d, 0x67, 0xa4, 0x82, 0x56}};

// ---- Southbridge configuration block -------------------------------------------------------
// 384 bytes, byte-packed; it is the data of the configuration HOB and travels on to DXE.
// Address fields are 32 bits wide whatever the build.

struct __attribute__((packed)) SB_CONFIG {
  UINT32 PeiServices;          // 0x00: the EFI_PEI_SERVICES ** given to the entry
  UINT8 Reserved04[0x0C];
  UINT32 PlatformHook;         // 0x10: the platform hook function, or 0
  UINT8 Reserved14[0x0C];
  UINT32 MiscOptions;          // 0x20
  UINT32 SmbusBase0;           // 0x24: SMBus controller 0 I/O base
  UINT32 SmbusBase1;           // 0x28: SMBus controller 1 I/O base
  UINT16 Dev14F3Reg64;         // 0x2C
  UINT8 Reserved2E[0x02];
  UINT32 PmReg48;              // 0x30
  UINT32 Dev14F3Reg9C;         // 0x34
  UINT32 Dev14F3MmioBase;      // 0x38
  UINT16 AcpiPm1EvtBlk;        // 0x3C
  UINT16 AcpiPm1CntBlk;        // 0x3E
  UINT16 AcpiPmTmrBlk;         // 0x40
  UINT16 AcpiCpuCntBlk;        // 0x42
  UINT16 AcpiGpe0Blk;          // 0x44
  UINT16 PmReg6A;              // 0x46
  UINT16 PmReg6C;              // 0x48
  UINT8 Reserved4A[0x34];
  UINT8 PmRegDA;               // 0x7E
  UINT8 SbFlags;               // 0x7F
  UINT8 Reserved80[0x06];
  UINT8 UsbResetMask;          // 0x86
  UINT8 Reserved87[0x1B];
  UINT32 PlatformMmioTable;    // 0xA2: MMIO register table of the platform, or 0
  UINT8 ReservedA6[0x20];
  UINT32 MiscOptions2;         // 0xC6
  UINT8 ReservedCA[0xB6];
};

static_assert(sizeof(SB_CONFIG) == 384);
static_assert(__builtin_offsetof(SB_CONFIG, PlatformHook) == 0x10);
static_assert(__builtin_offsetof(SB_CONFIG, MiscOptions) == 0x20);
static_assert(__builtin_offsetof(SB_CONFIG, SmbusBase1) == 0x28);
static_assert(__builtin_offsetof(SB_CONFIG, Dev14F3Reg64) == 0x2C);
static_assert(__builtin_offsetof(SB_CONFIG, PmReg48) == 0x30);
static_assert(__builtin_offsetof(SB_CONFIG, Dev14F3MmioBase) == 0x38);
static_assert(__builtin_offsetof(SB_CONFIG, AcpiPm1EvtBlk) == 0x3C);
static_assert(__builtin_offsetof(SB_CONFIG, PmReg6C) == 0x48);  // seven words from AcpiPm1EvtBlk
static_assert(__builtin_offsetof(SB_CONFIG, PmRegDA) == 0x7E);
static_assert(__builtin_offsetof(SB_CONFIG, SbFlags) == 0x7F);
static_assert(__builtin_offsetof(SB_CONFIG, UsbResetMask) == 0x86);
static_assert(__builtin_offsetof(SB_CONFIG, PlatformMmioTable) == 0xA2);
static_assert(__builtin_offsetof(SB_CONFIG, MiscOptions2) == 0xC6);

// Default ACPI I/O bases.
constexpr UINT16 kDefaultAcpiPm1EvtBlk = 0x800;
constexpr UINT16 kDefaultAcpiPm1CntBlk = 0x804;
constexpr UINT16 kDefaultAcpiPmTmrBlk = 0x808;
constexpr UINT16 kDefaultAcpiCpuCntBlk = 0x810;
constexpr UINT16 kDefaultAcpiGpe0Blk = 0x820;

// SbFlags bits.
constexpr UINT8 kSbFlagS3Resume = 0x01;         // set by boot-mode detection on an S3 resume
constexpr UINT8 kSbFlagInstallOptionalPpi = 0x02;
constexpr UINT8 kSbFlagProgramDev14F3Mmio = 0x04;
constexpr UINT8 kSbFlagAlinkSteps = 0x10;

// ---- Configuration HOB -----------------------------------------------------------------------

struct SB_CONFIG_HOB {
  EFI_HOB_GUID_TYPE Header;
  SB_CONFIG Config;
};
static_assert(sizeof(SB_CONFIG_HOB) == 408);
static_assert(__builtin_offsetof(SB_CONFIG_HOB, Config) == 24);

// ---- Southbridge private data and private PPI ------------------------------------------------

typedef EFI_BOOT_MODE(EFIAPI *SB_GET_SLEEP_BOOT_MODE)(const EFI_PEI_SERVICES **PeiServices);

constexpr UINT32 kSbPrivateSignature = 0x45504253;  // "SBPE" in memory order
constexpr UINT32 kSbPrivateVersion = 0x1112;

// The private PPI's interface is this structure from `Reserved` on; `Signature` lies just
// before the interface. 20 bytes on IA32. Packed to 4 so that the interface, 4 bytes in, is
// properly aligned on a 64-bit host build as well.
#pragma pack(push, 4)
struct SB_PRIVATE_DATA {
  UINT32 Signature;
  UINT32 Reserved;
  UINT32 Version;
  SB_GET_SLEEP_BOOT_MODE GetSleepBootMode;
  SB_CONFIG *Config;
};

// Interface of the southbridge private PPI: the private data without its signature.
struct SB_PRIVATE_PPI {
  UINT32 Reserved;
  UINT32 Version;
  SB_GET_SLEEP_BOOT_MODE GetSleepBootMode;
  SB_CONFIG *Config;
};
#pragma pack(pop)
static_assert(__builtin_offsetof(SB_PRIVATE_DATA, GetSleepBootMode) - 4 ==
              __builtin_offsetof(SB_PRIVATE_PPI, GetSleepBootMode));
static_assert(__builtin_offsetof(SB_PRIVATE_DATA, Config) - 4 == __builtin_offsetof(SB_PRIVATE_PPI, Config));

// ---- Platform hook PPI (provided by the platform) --------------------------------------------

constexpr UINT32 SbHookAfterDefaults = 0x100;  // block holds its defaults; nothing programmed yet
constexpr UINT32 SbHookBeforeInit = 0x200;     // boot mode set, just before early programming
constexpr UINT32 SbHookAfterInit = 0x201;      // after early programming, before the service PPIs

typedef EFI_STATUS(EFIAPI *SB_PLATFORM_HOOK)(UINT32 HookPoint, UINT32 Reserved, SB_CONFIG *Config);

struct SB_PLATFORM_HOOK_PPI {
  UINT32 Reserved;
  SB_PLATFORM_HOOK Hook;
};

// ---- Module operations -----------------------------------------------------------------------

extern "C" EFI_STATUS EFIAPI SbPeiEntry(EFI_PEI_FILE_HANDLE FileHandle, const EFI_PEI_SERVICES **PeiServices);

namespace sbpei {

EFI_STATUS SbSetConfigDefaults(const EFI_PEI_SERVICES **PeiServices, SB_PRIVATE_DATA *Private);

// Boot-mode detection.
EFI_BOOT_MODE EFIAPI SbGetSleepBootMode(const EFI_PEI_SERVICES **PeiServices);
EFI_STATUS SbDetectBootMode(const EFI_PEI_SERVICES **PeiServices, SB_PRIVATE_DATA *Private);

// Early southbridge programming.
void SbEarlyInit(SB_CONFIG *Config);

// Reset and stall PPIs.
EFI_STATUS EFIAPI SbResetSystem(const EFI_PEI_SERVICES **PeiServices);
EFI_STATUS EFIAPI SbPeiStall(const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_STALL_PPI *This,
                             UINTN Microseconds);

// SMBus host controller PPIs.
EFI_STATUS InstallSmbusPpi(const EFI_PEI_SERVICES **PeiServices);

// USB controller reset on S3 resume.
UINT32 ClearPortResume(UINT32 Controller);
void SbUsbS3Reset(SB_CONFIG *Config);

}  // namespace sbpei
