// Protocols of other firmware components that the CMOS error prompt driver consumes:
// the prompt trigger, the post message protocol and the extended key input protocol.
// Only the slots that this system calls are named; the others are kept as opaque slots
// so that the slot numbers stay right.
#pragma once
#include "pi/uefi.h"

// Installing this protocol (no interface needed) starts the prompt sequence.
inline constexpr EFI_GUID gPromptTriggerProtocolGuid = {
    0xdbc9fd21, 0xfad8, 0x45b0, {0x9e, 0x78, 0x27, 0x15, 0x88, 0x67, 0xcc, 0x93}};

inline constexpr EFI_GUID gPostMessageProtocolGuid = {
    0x8a91b1e1, 0x56c7, 0x4adc, {0xab, 0xeb, 0x1c, 0x2c, 0xa1, 0x72, 0x9e, 0xff}};

inline constexpr EFI_GUID gExtendedKeyInputProtocolGuid = {
    0x0adfb62d, 0xff74, 0x484c, {0x89, 0x44, 0xf8, 0x5c, 0x4b, 0xea, 0x87, 0xa8}};

// Vendor GUID of the "Setup" variable.
inline constexpr EFI_GUID gSetupVariableGuid = {
    0xec87d643, 0xeba4, 0x4bb5, {0xa1, 0xe5, 0x3f, 0x3e, 0x36, 0xb2, 0x0d, 0xa9}};

// Where the enter-setup request flag lives: a configuration table entry that the platform
// installs, whose table pointer is the address of the one-byte flag. The prompt writes 1 there
// when the user asks for setup and 0 when no problem was reported; the platform reads it when
// it decides whether to enter setup. Without the entry nothing is written.
inline constexpr EFI_GUID gEnterSetupRequestTableGuid = {
    0x5c3e4a7b, 0x9d21, 0x4f6e, {0x8b, 0x1a, 0x3c, 0x7d, 0x2e, 0x9f, 0x40, 0x61}};

typedef VOID(EFIAPI *POST_MESSAGE_SHOW)(CHAR16 *Message);
typedef VOID(EFIAPI *POST_MESSAGE_PREPARE)();
typedef VOID(EFIAPI *POST_MESSAGE_SLOT)();

// Post message protocol: slot 1 shows one line, slot 5 prepares a group of lines.
struct POST_MESSAGE_PROTOCOL {
  POST_MESSAGE_SLOT Slot0;
  POST_MESSAGE_SHOW ShowPostMessage;
  POST_MESSAGE_SLOT Slot2;
  POST_MESSAGE_SLOT Slot3;
  POST_MESSAGE_SLOT Slot4;
  POST_MESSAGE_PREPARE PreparePostMessages;
};

// Extended key record: 24 bytes; the raw set-1 scan code of the key is at offset 17.
struct EXTENDED_KEY_RECORD {
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
  UINT8 Reserved0[13];
  UINT8 RawScanCode;
  UINT8 Reserved1[6];
};
static_assert(sizeof(EXTENDED_KEY_RECORD) == 24);
static_assert(__builtin_offsetof(EXTENDED_KEY_RECORD, RawScanCode) == 17);

struct EXTENDED_KEY_INPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EXTENDED_KEY_READ)(EXTENDED_KEY_INPUT_PROTOCOL *This, EXTENDED_KEY_RECORD *Key);

// Extended key input protocol: slot 1 takes one key record from the keyboard queue.
struct EXTENDED_KEY_INPUT_PROTOCOL {
  POST_MESSAGE_SLOT Slot0;
  EXTENDED_KEY_READ ReadKey;
};
