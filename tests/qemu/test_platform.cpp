// A small test platform for CmosErrorPrompt.efi on a real UEFI firmware: it plays the parts
// of the components the driver relies on. It sets the CMOS status flag, provides the post
// message protocol (lines go to the console, which the runner reads on the serial port),
// installs the extended key input protocol on the console-in handle (records filled from the
// firmware's simple text input ex), publishes the enter-setup request byte, installs the prompt
// trigger and reports the outcome, then ends the run through the debug-exit port.
#include "pi/protocol/post_screen.h"
#include "pi/protocol/simple_text.h"
#include "pi/uefi.h"

namespace {

EFI_SYSTEM_TABLE *gSt = nullptr;
EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *gInputEx = nullptr;
UINT8 *gEnterSetup = nullptr;

constexpr UINT16 kDebugExitPort = 0xF4;

UINT8 In8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
void Out8(UINT16 Port, UINT8 Value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }

void Print(const CHAR16 *Text) { gSt->ConOut->OutputString(gSt->ConOut, const_cast<CHAR16 *>(Text)); }

void PrintHex(UINT32 Value) {
  CHAR16 Digits[11] = u"0x00000000";
  for (int I = 9; I >= 2; --I, Value >>= 4) Digits[I] = u"0123456789ABCDEF"[Value & 0xF];
  Print(Digits);
}

VOID EFIAPI ShowPostMessage(CHAR16 *Line) {
  Print(u"POST: ");
  Print(Line);
  Print(u"\r\n");
}
VOID EFIAPI PreparePostMessages() { Print(u"POST-GROUP\r\n"); }
VOID EFIAPI Unused() {}

// One key record from the firmware's simple text input ex (or plain simple text input where
// the console has no ex protocol). The raw scan code is not known here and stays 0.
EFI_STATUS EFIAPI ReadKey(EXTENDED_KEY_INPUT_PROTOCOL *, EXTENDED_KEY_RECORD *Record) {
  EFI_KEY_DATA Data = {{0, 0}, {0, 0}};
  const EFI_STATUS Status = gInputEx != nullptr ? gInputEx->ReadKeyStrokeEx(gInputEx, &Data)
                                                : gSt->ConIn->ReadKeyStroke(gSt->ConIn, &Data.Key);
  if (Status == EFI_SUCCESS) {
    for (UINTN I = 0; I < sizeof(*Record); ++I) reinterpret_cast<volatile UINT8 *>(Record)[I] = 0;
    Record->ScanCode = Data.Key.ScanCode;
    Record->UnicodeChar = Data.Key.UnicodeChar;
  }
  return Status;
}

POST_MESSAGE_PROTOCOL gPostMessage = {Unused, ShowPostMessage, Unused, Unused, Unused, PreparePostMessages};
EXTENDED_KEY_INPUT_PROTOCOL gKeyInput = {Unused, ReadKey};
UINT8 gTrigger = 0;

}  // namespace

extern "C" EFI_STATUS EFIAPI TestPlatformMain(EFI_HANDLE, EFI_SYSTEM_TABLE *SystemTable) {
  gSt = SystemTable;
  EFI_BOOT_SERVICES *Bs = SystemTable->BootServices;

  // The CMOS contents "were lost": status flag, register 0x46 bit 0 (index with NMI off).
  Out8(0x70, 0xC6);
  const UINT8 Before = In8(0x71);
  Out8(0x70, 0xC6);
  Out8(0x71, Before | 0x01);

  Bs->AllocatePool(EfiBootServicesData, 1, reinterpret_cast<VOID **>(&gEnterSetup));
  *gEnterSetup = 0xFF;
  Bs->InstallConfigurationTable(const_cast<EFI_GUID *>(&gEnterSetupRequestTableGuid), gEnterSetup);
  EFI_HANDLE PostHandle = nullptr;
  Bs->InstallProtocolInterface(&PostHandle, const_cast<EFI_GUID *>(&gPostMessageProtocolGuid), EFI_NATIVE_INTERFACE,
                               &gPostMessage);
  EFI_HANDLE ConIn = SystemTable->ConsoleInHandle;
  Bs->HandleProtocol(ConIn, const_cast<EFI_GUID *>(&gEfiSimpleTextInputExProtocolGuid),
                     reinterpret_cast<VOID **>(&gInputEx));
  Bs->InstallProtocolInterface(&ConIn, const_cast<EFI_GUID *>(&gExtendedKeyInputProtocolGuid), EFI_NATIVE_INTERFACE,
                               &gKeyInput);
  // Whatever the shell left in the keyboard buffer is not an answer to the prompt.
  EFI_INPUT_KEY Stale;
  while (SystemTable->ConIn->ReadKeyStroke(SystemTable->ConIn, &Stale) == EFI_SUCCESS) {
  }

  Print(u"PLATFORM: trigger\r\n");
  EFI_HANDLE TriggerHandle = nullptr;
  Bs->InstallProtocolInterface(&TriggerHandle, const_cast<EFI_GUID *>(&gPromptTriggerProtocolGuid),
                               EFI_NATIVE_INTERFACE, &gTrigger);

  Out8(0x70, 0xC6);
  const UINT8 After = In8(0x71);
  Print(u"RESULT: enter-setup ");
  PrintHex(*gEnterSetup);
  Print(u" cmos46 ");
  PrintHex(After);
  Print(u"\r\n");
  Out8(kDebugExitPort, 0x10);  // QEMU exits with status (0x10 << 1) | 1 = 33
  return EFI_SUCCESS;
}
