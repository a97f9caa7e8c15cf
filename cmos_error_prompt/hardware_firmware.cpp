// Real-hardware instance of the seam.
#include "cmos_error_prompt/hardware.h"

namespace cmos_prompt {

UINT8 ReadPort8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

void WritePort8(UINT16 Port, UINT8 Value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }

}  // namespace cmos_prompt
