// The CMOS status hook: reports CMOS contents replaced by defaults, clears the flag and beeps.
#include "cmos_error_prompt/cmos_error_prompt.h"
#include "cmos_error_prompt/hardware.h"

namespace cmos_prompt {
namespace {

constexpr UINT16 kCmosIndexPort = 0x70;
constexpr UINT16 kCmosDataPort = 0x71;
constexpr UINT8 kNmiDisable = 0x80;  // kept set while a register is selected

// Token: bits 0-2 the field's lowest bit, bits 3-10 the register, bits 12-15 the width.
constexpr UINT16 kCmosStatusFlag = 0x1230;  // register 0x46, bit 0, one bit

constexpr UINT16 kPostCodePort = 0x80;
constexpr UINT8 kPostCodeCmosError = 0x44;

constexpr UINT16 kPitControlPort = 0x43;
constexpr UINT16 kPitChannel2Port = 0x42;
constexpr UINT8 kPitChannel2SquareWave = 0xB6;  // channel 2, low then high byte, mode 3, binary
constexpr UINT8 kBeepDivisorLow = 0x05;         // 0x0505 = 1285: about 928.5 Hz
constexpr UINT8 kBeepDivisorHigh = 0x05;
constexpr UINT16 kSpeakerPort = 0x61;
constexpr UINT8 kSpeakerOn = 0x0F;   // gate and data on (bits 2 and 3 written as 1 too)
constexpr UINT8 kSpeakerOff = 0xFC;  // clears gate and data, keeps the rest

constexpr UINTN kPauseBeforeBeepsUs = 1500000;
constexpr UINTN kBeepUs = 200000;
constexpr UINTN kGapUs = 200000;

constexpr auto kChecksumError = Utf16(u"CMOS Checksum error");
constexpr auto kDateTimeNotSet = Utf16(u"CMOS Date/Time Not set");
constexpr auto kDefaultsLoaded = Utf16(u"The default values has been loaded");

UINT8 FieldMask(UINT16 Token) { return static_cast<UINT8>(0xFF >> (8 - (Token >> 12))); }
UINT8 IndexByte(UINT16 Token) { return static_cast<UINT8>(((Token >> 3) & 0xFF) | kNmiDisable); }

void Beep() {
  WritePort8(kSpeakerPort, kSpeakerOn);
  gBS->Stall(kBeepUs);
  WritePort8(kSpeakerPort, ReadPort8(kSpeakerPort) & kSpeakerOff);
  gBS->Stall(kGapUs);
}

}  // namespace

UINT8 ReadCmosBits(UINT16 Token) {
  WritePort8(kCmosIndexPort, IndexByte(Token));
  return static_cast<UINT8>((ReadPort8(kCmosDataPort) >> (Token & 7)) & FieldMask(Token));
}

void WriteCmosBits(UINT16 Token, UINT8 Value) {
  const UINT8 Mask = static_cast<UINT8>(FieldMask(Token) << (Token & 7));
  WritePort8(kCmosIndexPort, IndexByte(Token));
  const UINT8 Old = ReadPort8(kCmosDataPort);
  WritePort8(kCmosDataPort, static_cast<UINT8>((Old & ~Mask) | ((Value << (Token & 7)) & Mask)));
}

UINT8 CmosStatusHook(POST_MESSAGE_PROTOCOL *PostMessage, VOID *, UINT8 *) {
  const UINT8 Flag = ReadCmosBits(kCmosStatusFlag);
  if (Flag == 0) return 0;

  PostMessage->PreparePostMessages();
  PostMessage->ShowPostMessage(const_cast<CHAR16 *>(kChecksumError.Text));
  PostMessage->ShowPostMessage(const_cast<CHAR16 *>(kDateTimeNotSet.Text));
  PostMessage->ShowPostMessage(const_cast<CHAR16 *>(kDefaultsLoaded.Text));

  // Cleared before the beeps, so the problem is reported once.
  WriteCmosBits(kCmosStatusFlag, 0);
  WritePort8(kPostCodePort, kPostCodeCmosError);

  WritePort8(kPitControlPort, kPitChannel2SquareWave);
  WritePort8(kPitChannel2Port, kBeepDivisorLow);
  WritePort8(kPitChannel2Port, kBeepDivisorHigh);
  gBS->Stall(kPauseBeforeBeepsUs);
  Beep();
  Beep();
  return Flag;
}

}  // namespace cmos_prompt
