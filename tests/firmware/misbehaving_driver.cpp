// A DXE driver that does one thing wrong with memory, chosen by CMOS register 0x40, so that the
// memory check can be shown to catch each kind of fault in a real X64 image, by the line that
// does it. The line of misdeed n carries a "misdeed n: KIND" comment with the kind the check
// must report (the test reads them from here). 0 or an unknown number: nothing wrong.
#include "misdeed.h"
#include "pi/uefi.h"

namespace {

template <typename T>
T *Pool(EFI_BOOT_SERVICES *bs, UINTN size) {
  VOID *p = nullptr;
  return bs->AllocatePool(EfiBootServicesData, size, &p) == EFI_SUCCESS ? static_cast<T *>(p) : nullptr;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI MisbehavingDriverEntry(EFI_HANDLE, EFI_SYSTEM_TABLE *st) {
  EFI_BOOT_SERVICES *bs = st->BootServices;
  switch (ReadMisdeed()) {
    case 1: {
      volatile UINT8 *p = Pool<volatile UINT8>(bs, 24);
      p[24] = 1;  // misdeed 1: out-of-bounds
      break;
    }
    case 2: {
      volatile UINT64 *p = Pool<volatile UINT64>(bs, 16);
      p[0] = 1;
      Use(p[1]);  // misdeed 2: uninitialized-read
      break;
    }
    case 3: {
      volatile UINT32 *p = Pool<volatile UINT32>(bs, 16);
      p[0] = 7;
      bs->FreePool(const_cast<UINT32 *>(p));
      Use(p[0]);  // misdeed 3: use-after-free
      break;
    }
    case 4: {
      UINT64 sp;
      __asm__ volatile("movq %%rsp, %0" : "=r"(sp));
      *reinterpret_cast<volatile UINT64 *>(sp - 256) = 1;  // misdeed 4: below-stack-pointer
      break;
    }
    case 5:
      const_cast<volatile UINT32 &>(bs->Hdr.Revision) = 0;  // misdeed 5: read-only-write
      break;
    case 6:
      Use(*reinterpret_cast<volatile UINT64 *>(0x43F00000));  // misdeed 6: unowned
      break;
    default:
      break;
  }
  return EFI_SUCCESS;
}
