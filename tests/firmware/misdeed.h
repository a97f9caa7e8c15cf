// What the misbehaving test images share: the misdeed to do, and a way to spend a value read.
#pragma once
#include "pi/base.h"

// The misdeed: CMOS register 0x40, through the RTC's index and data ports.
inline UINT8 ReadMisdeed() {
  UINT8 value;
  __asm__ volatile("outb %b0, $0x70" : : "a"(static_cast<UINT8>(0x40)));
  __asm__ volatile("inb $0x71, %b0" : "=a"(value));
  return value;
}

// Spends a value where the compiler cannot drop the read that made it: the POST code port.
inline void Use(UINT64 value) { __asm__ volatile("outb %b0, $0x80" : : "a"(static_cast<UINT8>(value))); }
