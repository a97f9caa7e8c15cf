// The few compiler support routines a freestanding image needs: the compiler emits calls to
// memcpy and memset for structure copies and clears.
#include "pi/base.h"

extern "C" {

void *memcpy(void *Destination, const void *Source, UINTN Length) {
  auto *D = static_cast<volatile UINT8 *>(Destination);
  const auto *S = static_cast<const UINT8 *>(Source);
  while (Length-- != 0) *D++ = *S++;
  return Destination;
}

void *memset(void *Buffer, int Value, UINTN Length) {
  auto *D = static_cast<volatile UINT8 *>(Buffer);
  while (Length-- != 0) *D++ = static_cast<UINT8>(Value);
  return Buffer;
}

}  // extern "C"
