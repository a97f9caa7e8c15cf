// Layout checks that hold only on the real targets. Compiled into both images; generates no
// code. A layout mistake here is a build error, not a boot hang.
#include "pi/pei_services.h"
#include "pi/ppi/cpu_io.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "pi/protocol/post_screen.h"
#include "pi/protocol/simple_text.h"
#include "pi/uefi.h"
#include "sb_pei/sb_pei.h"

#define OFFSET(type, member) __builtin_offsetof(type, member)

#if defined(__i386__)
// IA32: 4-byte pointers, 8-aligned UINT64.
static_assert(sizeof(SB_PRIVATE_DATA) == 20);
static_assert(OFFSET(SB_PRIVATE_DATA, Reserved) == 4);
static_assert(OFFSET(SB_PRIVATE_DATA, GetSleepBootMode) == 12);
static_assert(OFFSET(SB_PRIVATE_DATA, Config) == 16);
static_assert(sizeof(SB_PRIVATE_PPI) == 16);
static_assert(sizeof(SB_PLATFORM_HOOK_PPI) == 8);
static_assert(sizeof(EFI_PEI_PPI_DESCRIPTOR) == 12);
static_assert(OFFSET(EFI_PEI_SERVICES, InstallPpi) == 24);
static_assert(OFFSET(EFI_PEI_SERVICES, LocatePpi) == 32);
static_assert(OFFSET(EFI_PEI_SERVICES, GetBootMode) == 40);
static_assert(OFFSET(EFI_PEI_SERVICES, SetBootMode) == 44);
static_assert(OFFSET(EFI_PEI_SERVICES, CreateHob) == 52);
static_assert(OFFSET(EFI_PEI_SERVICES, AllocatePool) == 76);
static_assert(OFFSET(EFI_PEI_SERVICES, SetMem) == 84);
static_assert(OFFSET(EFI_PEI_SERVICES, CpuIo) == 96);
static_assert(OFFSET(EFI_PEI_SERVICES, FreePages) == 132);
static_assert(OFFSET(EFI_PEI_CPU_IO_PPI, IoRead8) == 16);
static_assert(OFFSET(EFI_PEI_CPU_IO_PPI, IoRead16) == 20);
static_assert(OFFSET(EFI_PEI_CPU_IO_PPI, IoWrite8) == 32);
static_assert(OFFSET(EFI_PEI_CPU_IO_PPI, MemWrite64) == 76);
static_assert(sizeof(EFI_PEI_STALL_PPI) == 8);
static_assert(sizeof(EFI_PEI_SMBUS_PPI) == 16);
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 56);
#elif defined(__x86_64__)
// X64: 8-byte pointers.
static_assert(OFFSET(EFI_SYSTEM_TABLE, ConsoleInHandle) == 40);
static_assert(OFFSET(EFI_SYSTEM_TABLE, ConIn) == 48);
static_assert(OFFSET(EFI_SYSTEM_TABLE, RuntimeServices) == 88);
static_assert(OFFSET(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(OFFSET(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104);
static_assert(OFFSET(EFI_SYSTEM_TABLE, ConfigurationTable) == 112);
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24);
static_assert(OFFSET(EFI_BOOT_SERVICES, AllocatePool) == 64);
static_assert(OFFSET(EFI_BOOT_SERVICES, FreePool) == 72);
static_assert(OFFSET(EFI_BOOT_SERVICES, CreateEvent) == 80);
static_assert(OFFSET(EFI_BOOT_SERVICES, HandleProtocol) == 152);
static_assert(OFFSET(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 168);
static_assert(OFFSET(EFI_BOOT_SERVICES, Stall) == 248);
static_assert(OFFSET(EFI_BOOT_SERVICES, LocateProtocol) == 320);
static_assert(OFFSET(EFI_BOOT_SERVICES, CreateEventEx) == 368);
static_assert(OFFSET(EFI_RUNTIME_SERVICES, GetVariable) == 72);
static_assert(OFFSET(EFI_RUNTIME_SERVICES, SetVariable) == 88);
static_assert(OFFSET(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, Reset) == 0);
static_assert(OFFSET(POST_MESSAGE_PROTOCOL, ShowPostMessage) == 8);
static_assert(OFFSET(POST_MESSAGE_PROTOCOL, PreparePostMessages) == 40);
static_assert(OFFSET(EXTENDED_KEY_INPUT_PROTOCOL, ReadKey) == 8);
static_assert(OFFSET(EFI_PEI_SERVICES, CpuIo) == 168);
static_assert(sizeof(EFI_PEI_PPI_DESCRIPTOR) == 24);
#else
#error "images are built for IA32 and X64 only"
#endif
