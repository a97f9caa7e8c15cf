// A PEIM that does one thing wrong with memory, chosen by CMOS register 0x40, so that the
// memory check can be shown to catch each kind of fault in a real IA32 image, by the line that
// does it. The line of misdeed n carries a "misdeed n: KIND" comment with the kind the check
// must report (the test reads them from here). 0 or an unknown number: nothing wrong.
#include "misdeed.h"
#include "pi/hob.h"
#include "pi/pei_services.h"
#include "pi/ppi/memory_discovered.h"
#include "sb_pei/sb_pei.h"

namespace {

constexpr EFI_GUID kKeepGuid = {0x5d1c0a3e, 0x7f31, 0x4c55, {0x9a, 0x1e, 0x22, 0x6b, 0x0d, 0x54, 0x8e, 0x13}};

template <typename T>
T *Pool(const EFI_PEI_SERVICES **ps, UINTN size) {
  VOID *p = nullptr;
  return (*ps)->AllocatePool(ps, size, &p) == EFI_SUCCESS ? static_cast<T *>(p) : nullptr;
}

// After memory: the pointer kept in a HOB still points at the pool in temporary RAM.
EFI_STATUS EFIAPI UseKeptPointer(EFI_PEI_SERVICES **ps, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  VOID *list = nullptr;
  (*ps)->GetHobList(const_cast<const EFI_PEI_SERVICES **>(ps), &list);
  for (auto *h = static_cast<EFI_HOB_GENERIC_HEADER *>(list); h->HobType != EFI_HOB_TYPE_END_OF_HOB_LIST;
       h = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<UINT8 *>(h) + h->HobLength)) {
    if (h->HobType != EFI_HOB_TYPE_GUID_EXTENSION) continue;
    auto *g = reinterpret_cast<EFI_HOB_GUID_TYPE *>(h);
    if (!GuidsEqual(g->Name, kKeepGuid)) continue;
    volatile UINT32 *kept = *reinterpret_cast<volatile UINT32 **>(g + 1);
    Use(*kept);  // misdeed 8: temporary-ram-after-switch
  }
  return EFI_SUCCESS;
}

constexpr EFI_PEI_NOTIFY_DESCRIPTOR kAfterMemory = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, const_cast<EFI_GUID *>(&gEfiPeiMemoryDiscoveredPpiGuid),
    UseKeptPointer};

}  // namespace

extern "C" EFI_STATUS EFIAPI MisbehavingPeimEntry(EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **ps) {
  switch (ReadMisdeed()) {
    case 1: {
      volatile UINT8 *p = Pool<volatile UINT8>(ps, 16);
      p[16] = 1;  // misdeed 1: out-of-bounds
      break;
    }
    case 2: {
      volatile UINT8 *p = Pool<volatile UINT8>(ps, 16);
      p[0] = 1;
      Use(p[-1]);  // misdeed 2: out-of-bounds
      break;
    }
    case 3: {
      volatile UINT32 *p = Pool<volatile UINT32>(ps, 8);
      p[0] = 1;
      Use(p[1]);  // misdeed 3: uninitialized-read
      break;
    }
    case 4: {
      VOID *hob = nullptr;
      if ((*ps)->CreateHob(ps, EFI_HOB_TYPE_GUID_EXTENSION, 28, &hob) != EFI_SUCCESS) break;
      static_cast<volatile UINT8 *>(hob)[28] = 1;  // misdeed 4: out-of-bounds
      break;
    }
    case 5: {
      UINT32 sp;
      __asm__ volatile("movl %%esp, %0" : "=r"(sp));
      *reinterpret_cast<volatile UINT32 *>(sp - 64) = 1;  // misdeed 5: below-stack-pointer
      break;
    }
    case 6:
      const_cast<volatile UINT32 &>((*ps)->Hdr.Revision) = 0;  // misdeed 6: read-only-write
      break;
    case 7: {
      VOID *hook = nullptr;
      if ((*ps)->LocatePpi(ps, &gSbPlatformHookPpiGuid, 0, nullptr, &hook) != EFI_SUCCESS) break;
      static_cast<volatile SB_PLATFORM_HOOK_PPI *>(hook)->Reserved = 1;  // misdeed 7: read-only-write
      break;
    }
    case 8: {
      // A pool buffer whose address is kept in a HOB, used again after memory.
      volatile UINT32 *p = Pool<volatile UINT32>(ps, 4);
      VOID *hob = nullptr;
      if (p == nullptr || (*ps)->CreateHob(ps, EFI_HOB_TYPE_GUID_EXTENSION, sizeof(EFI_HOB_GUID_TYPE) + 4, &hob) != EFI_SUCCESS)
        break;
      *p = 0x55;
      auto *g = static_cast<EFI_HOB_GUID_TYPE *>(hob);
      g->Name = kKeepGuid;
      *reinterpret_cast<volatile UINT32 **>(g + 1) = p;
      (*ps)->NotifyPpi(ps, &kAfterMemory);
      break;
    }
    case 9:
      Use(*reinterpret_cast<volatile UINT32 *>(0x43F00000));  // misdeed 9: unowned
      break;
    default:
      break;
  }
  return EFI_SUCCESS;
}
