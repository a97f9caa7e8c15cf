// CmosErrorPrompt: the DXE driver that reports lost CMOS contents at POST and offers F1/Del.
#pragma once
#include "pi/protocol/post_screen.h"
#include "pi/uefi.h"

extern "C" EFI_STATUS EFIAPI CmosErrorPromptEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

namespace cmos_prompt {

// A POST hook: (post message protocol, "Setup" data or null, change indicator or null);
// non-zero when it showed a problem on screen.
typedef UINT8 (*POST_HOOK)(POST_MESSAGE_PROTOCOL *PostMessage, VOID *SetupData, UINT8 *SetupChanged);

extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;

VOID *GetConfigurationTableEntry(const EFI_SYSTEM_TABLE *SystemTable, const EFI_GUID &Guid);
EFI_BOOT_MODE GetBootModeFromHob();
VOID *AllocateBootPool(UINTN Size);
EFI_STATUS GetVariableWithBuffer(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID **Data,
                                 UINTN *BufferSize);
VOID EFIAPI PromptNotify(EFI_EVENT Event, VOID *Context);

// The CMOS status hook and its CMOS access.
UINT8 ReadCmosBits(UINT16 Token);
void WriteCmosBits(UINT16 Token, UINT8 Value);
UINT8 CmosStatusHook(POST_MESSAGE_PROTOCOL *PostMessage, VOID *SetupData, UINT8 *SetupChanged);

}  // namespace cmos_prompt
