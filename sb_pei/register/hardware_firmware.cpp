// Real-hardware instance of the seam: port instructions and flat 32-bit memory accesses.
#include "sb_pei/register/hardware.h"

namespace sbpei {

UINT8 ReadPort8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

UINT16 ReadPort16(UINT16 Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

UINT32 ReadPort32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

void WritePort8(UINT16 Port, UINT8 Value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }
void WritePort16(UINT16 Port, UINT16 Value) { __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port)); }
void WritePort32(UINT16 Port, UINT32 Value) { __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port)); }

UINT8 MmioRead8(UINT32 Address) { return *reinterpret_cast<volatile UINT8 *>(static_cast<UINTN>(Address)); }
UINT16 MmioRead16(UINT32 Address) { return *reinterpret_cast<volatile UINT16 *>(static_cast<UINTN>(Address)); }
UINT32 MmioRead32(UINT32 Address) { return *reinterpret_cast<volatile UINT32 *>(static_cast<UINTN>(Address)); }
void MmioWrite8(UINT32 Address, UINT8 Value) { *reinterpret_cast<volatile UINT8 *>(static_cast<UINTN>(Address)) = Value; }
void MmioWrite16(UINT32 Address, UINT16 Value) {
  *reinterpret_cast<volatile UINT16 *>(static_cast<UINTN>(Address)) = Value;
}
void MmioWrite32(UINT32 Address, UINT32 Value) {
  *reinterpret_cast<volatile UINT32 *>(static_cast<UINTN>(Address)) = Value;
}

void CpuPause() { __asm__ __volatile__("pause" ::: "memory"); }

}  // namespace sbpei
