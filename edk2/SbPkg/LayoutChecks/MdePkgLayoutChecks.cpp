// Proof, in the EDK2 build, that our pi/ declarations and MdePkg's agree: every structure both
// declare has the same size and every member the same offset, on the architecture being built
// (IA32 through SbPei.inf, X64 through CmosErrorPrompt.inf). With SB_PI_FROM_MDEPKG our own
// declarations live in namespace pi_own and MdePkg's in the global namespace (see pi/base.h).
// Nothing here produces code.
#if !defined(SB_PI_FROM_MDEPKG)
#error "compiled in the EDK2 build only"
#endif

#include "pi/hob.h"
#include "pi/pei_services.h"
#include "pi/ppi/cpu_io.h"
#include "pi/ppi/memory_discovered.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "pi/protocol/post_screen.h"
#include "pi/protocol/simple_text.h"
#include "pi/uefi.h"

#define SB_SAME_SIZE(T) static_assert(sizeof(::T) == sizeof(pi_own::T), #T ": size differs from MdePkg's")
#define SB_SAME_OFFSET(T, M) \
  static_assert(__builtin_offsetof(::T, M) == __builtin_offsetof(pi_own::T, M), #T "." #M ": offset differs from MdePkg's");

// SB_SAME_LAYOUT(T, members...): the size of T and the offset of each member.
#define SB_EACH_1(T, M) SB_SAME_OFFSET(T, M)
#define SB_EACH_2(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_1(T, __VA_ARGS__)
#define SB_EACH_3(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_2(T, __VA_ARGS__)
#define SB_EACH_4(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_3(T, __VA_ARGS__)
#define SB_EACH_5(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_4(T, __VA_ARGS__)
#define SB_EACH_6(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_5(T, __VA_ARGS__)
#define SB_EACH_7(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_6(T, __VA_ARGS__)
#define SB_EACH_8(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_7(T, __VA_ARGS__)
#define SB_EACH_9(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_8(T, __VA_ARGS__)
#define SB_EACH_10(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_9(T, __VA_ARGS__)
#define SB_EACH_11(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_10(T, __VA_ARGS__)
#define SB_EACH_12(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_11(T, __VA_ARGS__)
#define SB_EACH_13(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_12(T, __VA_ARGS__)
#define SB_EACH_14(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_13(T, __VA_ARGS__)
#define SB_EACH_15(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_14(T, __VA_ARGS__)
#define SB_EACH_16(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_15(T, __VA_ARGS__)
#define SB_EACH_17(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_16(T, __VA_ARGS__)
#define SB_EACH_18(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_17(T, __VA_ARGS__)
#define SB_EACH_19(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_18(T, __VA_ARGS__)
#define SB_EACH_20(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_19(T, __VA_ARGS__)
#define SB_EACH_21(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_20(T, __VA_ARGS__)
#define SB_EACH_22(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_21(T, __VA_ARGS__)
#define SB_EACH_23(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_22(T, __VA_ARGS__)
#define SB_EACH_24(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_23(T, __VA_ARGS__)
#define SB_EACH_25(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_24(T, __VA_ARGS__)
#define SB_EACH_26(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_25(T, __VA_ARGS__)
#define SB_EACH_27(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_26(T, __VA_ARGS__)
#define SB_EACH_28(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_27(T, __VA_ARGS__)
#define SB_EACH_29(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_28(T, __VA_ARGS__)
#define SB_EACH_30(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_29(T, __VA_ARGS__)
#define SB_EACH_31(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_30(T, __VA_ARGS__)
#define SB_EACH_32(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_31(T, __VA_ARGS__)
#define SB_EACH_33(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_32(T, __VA_ARGS__)
#define SB_EACH_34(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_33(T, __VA_ARGS__)
#define SB_EACH_35(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_34(T, __VA_ARGS__)
#define SB_EACH_36(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_35(T, __VA_ARGS__)
#define SB_EACH_37(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_36(T, __VA_ARGS__)
#define SB_EACH_38(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_37(T, __VA_ARGS__)
#define SB_EACH_39(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_38(T, __VA_ARGS__)
#define SB_EACH_40(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_39(T, __VA_ARGS__)
#define SB_EACH_41(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_40(T, __VA_ARGS__)
#define SB_EACH_42(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_41(T, __VA_ARGS__)
#define SB_EACH_43(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_42(T, __VA_ARGS__)
#define SB_EACH_44(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_43(T, __VA_ARGS__)
#define SB_EACH_45(T, M, ...) SB_SAME_OFFSET(T, M) SB_EACH_44(T, __VA_ARGS__)
#define SB_COUNT(...) SB_COUNT_(__VA_ARGS__, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1)
#define SB_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, _18, _19, _20, _21, _22, _23, _24, _25, _26, _27, _28, _29, _30, _31, _32, _33, _34, _35, _36, _37, _38, _39, _40, _41, _42, _43, _44, _45, N, ...) N
#define SB_CAT(A, B) SB_CAT_(A, B)
#define SB_CAT_(A, B) A##B
#define SB_SAME_LAYOUT(T, ...) SB_SAME_SIZE(T); SB_CAT(SB_EACH_, SB_COUNT(__VA_ARGS__))(T, __VA_ARGS__)

// Scalar types and enumerations.
static_assert(sizeof(::UINTN) == sizeof(pi_own::UINTN) && sizeof(::EFI_STATUS) == sizeof(pi_own::EFI_STATUS));
static_assert(sizeof(::BOOLEAN) == sizeof(pi_own::BOOLEAN) && sizeof(::CHAR16) == sizeof(pi_own::CHAR16));
static_assert(alignof(::UINT64) == alignof(pi_own::UINT64) && sizeof(::EFI_BOOT_MODE) == sizeof(pi_own::EFI_BOOT_MODE));
SB_SAME_SIZE(EFI_MEMORY_TYPE);
SB_SAME_SIZE(EFI_RESET_TYPE);
SB_SAME_SIZE(EFI_PEI_CPU_IO_PPI_WIDTH);
SB_SAME_SIZE(EFI_SMBUS_OPERATION);
SB_SAME_SIZE(EFI_ALLOCATE_TYPE);
SB_SAME_SIZE(EFI_TIMER_DELAY);
SB_SAME_SIZE(EFI_INTERFACE_TYPE);
SB_SAME_SIZE(EFI_LOCATE_SEARCH_TYPE);
static_assert(int(::EfiMaxMemoryType) == int(pi_own::EfiMaxMemoryType) && int(::EfiResetShutdown) == int(pi_own::EfiResetShutdown));
static_assert(int(::EfiPeiCpuIoWidthMaximum) == int(pi_own::EfiPeiCpuIoWidthMaximum));
static_assert(int(::EfiSmbusBWBRProcessCall) == int(pi_own::EfiSmbusBWBRProcessCall) && int(::EfiSmbusReadBlock) == int(pi_own::EfiSmbusReadBlock));
static_assert(int(::ByProtocol) == int(pi_own::ByProtocol) && int(::TimerRelative) == int(pi_own::TimerRelative));

// pi/base.h
SB_SAME_LAYOUT(EFI_GUID, Data1, Data2, Data3, Data4);
SB_SAME_LAYOUT(EFI_TABLE_HEADER, Signature, Revision, HeaderSize, CRC32, Reserved);
SB_SAME_LAYOUT(EFI_STATUS_CODE_DATA, HeaderSize, Size, Type);

// pi/hob.h
SB_SAME_LAYOUT(EFI_HOB_GENERIC_HEADER, HobType, HobLength, Reserved);
SB_SAME_LAYOUT(EFI_HOB_HANDOFF_INFO_TABLE, Header, Version, BootMode, EfiMemoryTop, EfiMemoryBottom,
              EfiFreeMemoryTop, EfiFreeMemoryBottom, EfiEndOfHobList);
SB_SAME_LAYOUT(EFI_HOB_GUID_TYPE, Header, Name);
SB_SAME_LAYOUT(EFI_HOB_MEMORY_POOL, Header);

// pi/pei_services.h
SB_SAME_LAYOUT(EFI_PEI_PPI_DESCRIPTOR, Flags, Guid, Ppi);
SB_SAME_LAYOUT(EFI_PEI_NOTIFY_DESCRIPTOR, Flags, Guid, Notify);
SB_SAME_LAYOUT(EFI_PEI_SERVICES, Hdr, InstallPpi, ReInstallPpi, LocatePpi, NotifyPpi, GetBootMode,
              SetBootMode, GetHobList, CreateHob, FfsFindNextVolume, FfsFindNextFile, FfsFindSectionData,
              InstallPeiMemory, AllocatePages, AllocatePool, CopyMem, SetMem, ReportStatusCode, ResetSystem,
              CpuIo, PciCfg, FfsFindFileByName, FfsGetFileInfo, FfsGetVolumeInfo, RegisterForShadow,
              FindSectionData3, FfsGetFileInfo2, ResetSystem2, FreePages);

// pi/ppi/cpu_io.h
SB_SAME_LAYOUT(EFI_PEI_CPU_IO_PPI_ACCESS, Read, Write);
SB_SAME_LAYOUT(EFI_PEI_CPU_IO_PPI, Mem, Io, IoRead8, IoRead16, IoRead32, IoRead64, IoWrite8, IoWrite16,
              IoWrite32, IoWrite64, MemRead8, MemRead16, MemRead32, MemRead64, MemWrite8, MemWrite16,
              MemWrite32, MemWrite64);

// pi/ppi/reset.h
SB_SAME_LAYOUT(EFI_PEI_RESET_PPI, ResetSystem);

// pi/ppi/stall.h
SB_SAME_LAYOUT(EFI_PEI_STALL_PPI, Resolution, Stall);

// pi/ppi/smbus.h
SB_SAME_SIZE(EFI_SMBUS_DEVICE_ADDRESS);
SB_SAME_LAYOUT(EFI_SMBUS_UDID, VendorSpecificId, SubsystemDeviceId, SubsystemVendorId, Interface, DeviceId,
              VendorId, VendorRevision, DeviceCapabilities);
SB_SAME_LAYOUT(EFI_SMBUS_DEVICE_MAP, SmbusDeviceAddress, SmbusDeviceUdid);

// pi/uefi.h
SB_SAME_LAYOUT(EFI_BOOT_SERVICES, Hdr, RaiseTPL, RestoreTPL, AllocatePages, FreePages, GetMemoryMap,
              AllocatePool, FreePool, CreateEvent, SetTimer, WaitForEvent, SignalEvent, CloseEvent,
              CheckEvent, InstallProtocolInterface, ReinstallProtocolInterface, UninstallProtocolInterface,
              HandleProtocol, Reserved, RegisterProtocolNotify, LocateHandle, LocateDevicePath,
              InstallConfigurationTable, LoadImage, StartImage, Exit, UnloadImage, ExitBootServices,
              GetNextMonotonicCount, Stall, SetWatchdogTimer, ConnectController, DisconnectController,
              OpenProtocol, CloseProtocol, OpenProtocolInformation, ProtocolsPerHandle, LocateHandleBuffer,
              LocateProtocol, InstallMultipleProtocolInterfaces, UninstallMultipleProtocolInterfaces,
              CalculateCrc32, CopyMem, SetMem, CreateEventEx);
SB_SAME_LAYOUT(EFI_RUNTIME_SERVICES, Hdr, GetTime, SetTime, GetWakeupTime, SetWakeupTime,
              SetVirtualAddressMap, ConvertPointer, GetVariable, GetNextVariableName, SetVariable,
              GetNextHighMonotonicCount, ResetSystem, UpdateCapsule, QueryCapsuleCapabilities,
              QueryVariableInfo);
SB_SAME_LAYOUT(EFI_CONFIGURATION_TABLE, VendorGuid, VendorTable);
SB_SAME_LAYOUT(EFI_SYSTEM_TABLE, Hdr, FirmwareVendor, FirmwareRevision, ConsoleInHandle, ConIn,
              ConsoleOutHandle, ConOut, StandardErrorHandle, StdErr, RuntimeServices, BootServices,
              NumberOfTableEntries, ConfigurationTable);

// pi/protocol/simple_text.h
SB_SAME_LAYOUT(EFI_INPUT_KEY, ScanCode, UnicodeChar);
SB_SAME_LAYOUT(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, Reset, ReadKeyStroke, WaitForKey);
SB_SAME_LAYOUT(EFI_KEY_STATE, KeyShiftState, KeyToggleState);
SB_SAME_LAYOUT(EFI_KEY_DATA, Key, KeyState);
SB_SAME_LAYOUT(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL, Reset, ReadKeyStrokeEx, WaitForKeyEx, SetState,
              RegisterKeyNotify, UnregisterKeyNotify);
SB_SAME_LAYOUT(SIMPLE_TEXT_OUTPUT_MODE, MaxMode, Mode, Attribute, CursorColumn, CursorRow, CursorVisible);
SB_SAME_LAYOUT(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Reset, OutputString, TestString, QueryMode, SetMode,
              SetAttribute, ClearScreen, SetCursorPosition, EnableCursor, Mode);
