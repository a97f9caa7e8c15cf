// Driver entry point and the prompt sequence that runs when the prompt trigger is installed.
#include "cmos_error_prompt/cmos_error_prompt.h"

#include "pi/hob.h"
#include "pi/protocol/simple_text.h"

namespace cmos_prompt {

EFI_SYSTEM_TABLE *gST = nullptr;
EFI_BOOT_SERVICES *gBS = nullptr;
EFI_RUNTIME_SERVICES *gRT = nullptr;

namespace {

constexpr UINT16 kRawScanKeypadDel = 0x53;  // set-1 scan code of the keypad Del/period key
constexpr UINT32 kSetupAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

constexpr auto kSetupName = Utf16(u"Setup");
constexpr auto kPressF1 = Utf16(u"Press F1 to Continue");
constexpr auto kPressDel = Utf16(u"Press Del to Enter BIOS Setup \n\r");

// The POST hook list, ended by a null entry.
const POST_HOOK kPostHooks[] = {CmosStatusHook, nullptr};

void Show(POST_MESSAGE_PROTOCOL *PostMessage, const CHAR16 *Line) {
  PostMessage->ShowPostMessage(const_cast<CHAR16 *>(Line));
}

bool IsF1(const EXTENDED_KEY_RECORD &Key) { return Key.ScanCode == SCAN_F1 && Key.UnicodeChar == 0; }

// Del, or the keypad Del key with Num Lock on (a '.' whose raw scan code is the keypad's).
bool IsDel(const EXTENDED_KEY_RECORD &Key) {
  if (Key.ScanCode == SCAN_DELETE && Key.UnicodeChar == 0) return true;
  return Key.ScanCode == SCAN_NULL && Key.UnicodeChar == u'.' && Key.RawScanCode == kRawScanKeypadDel;
}

void SetEnterSetupRequest(UINT8 Value) {
  auto *Flag = static_cast<UINT8 *>(GetConfigurationTableEntry(gST, gEnterSetupRequestTableGuid));
  if (Flag != nullptr) *Flag = Value;
}

// Polls the keyboard until F1 (boot on) or Del (enter setup). Only the first key of each poll
// counts; whatever was typed ahead of it is thrown away.
void WaitForF1OrDel(EXTENDED_KEY_INPUT_PROTOCOL *KeyInput, EFI_BOOT_MODE BootMode) {
  for (;;) {
    EXTENDED_KEY_RECORD Key = {};
    EXTENDED_KEY_RECORD Scratch = {};
    const EFI_STATUS Status = KeyInput->ReadKey(KeyInput, &Key);
    if (!EFI_ERROR(Status)) {
      while (!EFI_ERROR(KeyInput->ReadKey(KeyInput, &Scratch))) {
      }
    }
    if (Status != EFI_SUCCESS) continue;
    if (IsF1(Key)) return;
    if (!IsDel(Key) || BootMode == BOOT_ON_S4_RESUME) continue;
    gST->ConIn->Reset(gST->ConIn, FALSE);
    SetEnterSetupRequest(1);
    return;
  }
}

}  // namespace

VOID *GetConfigurationTableEntry(const EFI_SYSTEM_TABLE *SystemTable, const EFI_GUID &Guid) {
  for (UINTN I = 0; I < SystemTable->NumberOfTableEntries; ++I) {
    const EFI_CONFIGURATION_TABLE &Entry = SystemTable->ConfigurationTable[I];
    if (GuidsEqual(Entry.VendorGuid, Guid)) return Entry.VendorTable;
  }
  return nullptr;
}

EFI_BOOT_MODE GetBootModeFromHob() {
  const auto *Handoff = static_cast<const EFI_HOB_HANDOFF_INFO_TABLE *>(GetConfigurationTableEntry(gST, gEfiHobListGuid));
  return Handoff != nullptr ? Handoff->BootMode : BOOT_WITH_FULL_CONFIGURATION;
}

VOID *AllocateBootPool(UINTN Size) {
  VOID *Buffer = nullptr;
  gBS->AllocatePool(EfiBootServicesData, Size, &Buffer);
  return Buffer;
}

// Reads a variable into a pool buffer allocated as needed. `*BufferSize` is the size of the
// buffer in `*Data`: GetVariable is never offered more room than the buffer has, so a variable
// that grew since the buffer was made gets a new buffer instead of overrunning the old one.
EFI_STATUS GetVariableWithBuffer(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID **Data,
                                 UINTN *BufferSize) {
  if (*Data == nullptr) {
    *DataSize = 0;
    *BufferSize = 0;
  } else if (*DataSize > *BufferSize) {
    gBS->FreePool(*Data);
    *Data = AllocateBootPool(*DataSize);
    *BufferSize = *Data != nullptr ? *DataSize : 0;
    if (*Data == nullptr) return EFI_OUT_OF_RESOURCES;
  }
  EFI_STATUS Status = gRT->GetVariable(Name, Guid, Attributes, DataSize, *Data);
  if (Status != EFI_BUFFER_TOO_SMALL) return Status;
  if (*Data != nullptr) gBS->FreePool(*Data);
  *Data = AllocateBootPool(*DataSize);
  *BufferSize = *Data != nullptr ? *DataSize : 0;
  if (*Data == nullptr) return EFI_OUT_OF_RESOURCES;
  return gRT->GetVariable(Name, Guid, Attributes, DataSize, *Data);
}

VOID EFIAPI PromptNotify(EFI_EVENT, VOID *) {
  POST_MESSAGE_PROTOCOL *PostMessage = nullptr;
  VOID *SetupData = nullptr;
  UINTN SetupSize = 0;
  UINTN SetupBufferSize = 0;
  UINT8 SetupChanged = 0;
  bool ProblemReported = false;

  EXTENDED_KEY_INPUT_PROTOCOL *KeyInput = nullptr;
  if (EFI_ERROR(gBS->HandleProtocol(gST->ConsoleInHandle, const_cast<EFI_GUID *>(&gExtendedKeyInputProtocolGuid),
                                    reinterpret_cast<VOID **>(&KeyInput)))) {
    return;
  }
  gBS->LocateProtocol(const_cast<EFI_GUID *>(&gPostMessageProtocolGuid), nullptr,
                      reinterpret_cast<VOID **>(&PostMessage));
  // Without the post message protocol nothing can be shown: no hook runs, so the CMOS flag
  // stays set and the problem is reported at a later boot.
  if (PostMessage == nullptr) return;

  CHAR16 *SetupName = const_cast<CHAR16 *>(kSetupName.Text);
  EFI_GUID *SetupGuid = const_cast<EFI_GUID *>(&gSetupVariableGuid);
  EFI_STATUS Status = GetVariableWithBuffer(SetupName, SetupGuid, nullptr, &SetupSize, &SetupData, &SetupBufferSize);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Status = GetVariableWithBuffer(SetupName, SetupGuid, nullptr, &SetupSize, &SetupData, &SetupBufferSize);
  }
  // "Setup" that could not be read is no data: hooks get a null buffer.
  if (EFI_ERROR(Status) && SetupData != nullptr) {
    gBS->FreePool(SetupData);
    SetupData = nullptr;
  }
  const EFI_BOOT_MODE BootMode = GetBootModeFromHob();

  for (const POST_HOOK *Hook = kPostHooks; *Hook != nullptr; ++Hook) {
    if ((*Hook)(PostMessage, SetupData, &SetupChanged) != 0) ProblemReported = true;
  }
  if (SetupChanged != 0 && SetupData != nullptr) {
    gRT->SetVariable(SetupName, SetupGuid, kSetupAttributes, SetupSize, SetupData);
  }
  if (SetupData != nullptr) gBS->FreePool(SetupData);

  if (!ProblemReported) {
    SetEnterSetupRequest(0);
    return;
  }
  PostMessage->PreparePostMessages();
  Show(PostMessage, kPressF1.Text);
  if (BootMode != BOOT_ON_S4_RESUME) Show(PostMessage, kPressDel.Text);
  if (gST->ConIn == nullptr) return;
  WaitForF1OrDel(KeyInput, BootMode);
}

}  // namespace cmos_prompt

using namespace cmos_prompt;

extern "C" EFI_STATUS EFIAPI CmosErrorPromptEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  if (gST == nullptr) {
    gST = SystemTable;
    gBS = SystemTable->BootServices;
    gRT = SystemTable->RuntimeServices;
  }
  EFI_EVENT Event = nullptr;
  const EFI_STATUS Status = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, PromptNotify, nullptr, &Event);
  if (EFI_ERROR(Status)) return Status;
  VOID *Registration = nullptr;
  return gBS->RegisterProtocolNotify(const_cast<EFI_GUID *>(&gPromptTriggerProtocolGuid), Event, &Registration);
}
