// Test platform DXE driver: plays the parts of the platform that CmosErrorPrompt relies on.
// At its entry it reports the southbridge configuration HOB and the boot mode that reached DXE,
// sets the CMOS status flag (CMOS 0x46 bit 0: "the contents were lost") and publishes the
// enter-setup request byte. When the boot is about to start (ready to boot: the consoles are
// connected), it provides the post message protocol and the extended key input protocol on the
// console-in handle and installs the prompt trigger; CmosErrorPrompt's notification runs the
// prompt, and after it a second event of the same priority reports the outcome and ends the run
// through QEMU's debug-exit port.
// EDK2 library headers are C.
extern "C" {
#include <Library/HobLib.h>
#include <Library/IoLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

// AutoGen declares the HOB list GUID for HobLib; the header's constant of the same name is
// renamed out of the way.
#define gEfiHobListGuid SbPiHeader_gEfiHobListGuid
#include "pi/protocol/post_screen.h"
#include "pi/protocol/simple_text.h"
#include "sb_pei/sb_pei.h"
#undef gEfiHobListGuid
#include "TestPlatform/Cmos.h"
#include "TestPlatform/Report.h"

namespace {

using sbtest::ReadCmos;
using sbtest::WriteCmos;

constexpr UINT8 kCmosStatusIndex = 0x46 | 0x80;  // NMI stays off while the index is set
constexpr UINT16 kDebugExitPort = 0xF4;
constexpr UINT8 kDebugExitCode = 0x10;  // QEMU exits with (0x10 << 1) | 1 = 33

EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *gInputEx = nullptr;
UINT8 *gEnterSetup = nullptr;
EFI_EVENT gReportEvent = nullptr;
UINT8 gTrigger = 0;

void ReportConfigHob() {
  auto *Hob = static_cast<SB_CONFIG_HOB *>(GetFirstGuidHob(&gSbConfigHobGuid));
  if (Hob == nullptr) {
    SB_TEST_REPORT("SBTEST dxe: configuration HOB missing\n");
    return;
  }
  const SB_CONFIG &C = Hob->Config;
  SB_TEST_REPORT("SBTEST dxe: HOB SmbusBase0 0x%x SmbusBase1 0x%x Dev14F3MmioBase 0x%x SbFlags 0x%x MiscOptions 0x%x\n",
                 C.SmbusBase0, C.SmbusBase1, C.Dev14F3MmioBase, C.SbFlags, C.MiscOptions);
  SB_TEST_REPORT("SBTEST dxe: HOB AcpiPm1EvtBlk 0x%x AcpiPm1CntBlk 0x%x AcpiPmTmrBlk 0x%x AcpiGpe0Blk 0x%x UsbResetMask 0x%x\n",
                 C.AcpiPm1EvtBlk, C.AcpiPm1CntBlk, C.AcpiPmTmrBlk, C.AcpiGpe0Blk, C.UsbResetMask);
}

// The post message protocol: lines go to the serial port.
VOID EFIAPI ShowPostMessage(CHAR16 *Line) {
  SB_TEST_REPORT("SBTEST POST: %s\n", Line);
}
VOID EFIAPI PreparePostMessages() { SB_TEST_REPORT("SBTEST POST-GROUP\n"); }
VOID EFIAPI Unused() {}

// One key record from the console's simple text input ex. The raw scan code is not known here
// and stays 0.
EFI_STATUS EFIAPI ReadKey(EXTENDED_KEY_INPUT_PROTOCOL *, EXTENDED_KEY_RECORD *Record) {
  EFI_KEY_DATA Data = {};
  const EFI_STATUS Status = gInputEx->ReadKeyStrokeEx(gInputEx, &Data);
  if (Status == EFI_SUCCESS) {
    *Record = EXTENDED_KEY_RECORD{};
    Record->ScanCode = Data.Key.ScanCode;
    Record->UnicodeChar = Data.Key.UnicodeChar;
  }
  return Status;
}

POST_MESSAGE_PROTOCOL gPostMessage = {Unused, ShowPostMessage, Unused, Unused, Unused, PreparePostMessages};
EXTENDED_KEY_INPUT_PROTOCOL gKeyInput = {Unused, ReadKey};

VOID EFIAPI ReportOutcome(EFI_EVENT, VOID *) {
  SB_TEST_REPORT("SBTEST RESULT: enter-setup 0x%x cmos46 0x%x\n", *gEnterSetup, ReadCmos(kCmosStatusIndex));
  IoWrite8(kDebugExitPort, kDebugExitCode);
}

VOID EFIAPI StartPrompt(EFI_EVENT Event, VOID *) {
  gBS->CloseEvent(Event);
  EFI_HANDLE ConIn = gST->ConsoleInHandle;
  if (EFI_ERROR(gBS->HandleProtocol(ConIn, &gEfiSimpleTextInputExProtocolGuid, reinterpret_cast<VOID **>(&gInputEx)))) {
    SB_TEST_REPORT("SBTEST dxe: no simple text input ex on the console\n");
    return;
  }
  gBS->InstallProtocolInterface(&ConIn, const_cast<EFI_GUID *>(&gExtendedKeyInputProtocolGuid), EFI_NATIVE_INTERFACE,
                                &gKeyInput);
  // Keys typed before the prompt are not answers to it.
  EFI_KEY_DATA Stale;
  while (gInputEx->ReadKeyStrokeEx(gInputEx, &Stale) == EFI_SUCCESS) {
  }
  SB_TEST_REPORT("SBTEST dxe: trigger\n");
  EFI_HANDLE TriggerHandle = nullptr;
  gBS->InstallProtocolInterface(&TriggerHandle, const_cast<EFI_GUID *>(&gPromptTriggerProtocolGuid), EFI_NATIVE_INTERFACE,
                                &gTrigger);
  // Queued behind the prompt's own notification, which the install above signalled.
  gBS->SignalEvent(gReportEvent);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SbTestDxeEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  ReportConfigHob();
  SB_TEST_REPORT("SBTEST dxe: boot mode 0x%x\n", GetBootModeHob());

  WriteCmos(kCmosStatusIndex, ReadCmos(kCmosStatusIndex) | 0x01);

  gBS->AllocatePool(EfiBootServicesData, 1, reinterpret_cast<VOID **>(&gEnterSetup));
  *gEnterSetup = 0xFF;
  gBS->InstallConfigurationTable(const_cast<EFI_GUID *>(&gEnterSetupRequestTableGuid), gEnterSetup);
  EFI_HANDLE PostHandle = nullptr;
  gBS->InstallProtocolInterface(&PostHandle, const_cast<EFI_GUID *>(&gPostMessageProtocolGuid), EFI_NATIVE_INTERFACE,
                                &gPostMessage);

  gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ReportOutcome, nullptr, &gReportEvent);
  EFI_EVENT ReadyToBoot = nullptr;
  const EFI_STATUS Created = EfiCreateEventReadyToBootEx(TPL_CALLBACK, StartPrompt, nullptr, &ReadyToBoot);
  SB_TEST_REPORT("SBTEST dxe: waiting for ready to boot: %r\n", Created);
  return EFI_SUCCESS;
}
