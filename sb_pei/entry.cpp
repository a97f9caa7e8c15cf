// SbPeiEntry: creates the private data and the configuration HOB, gives the platform its
// three hook points and installs the module's PPIs in their fixed order.
#include "pi/ppi/memory_discovered.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/stall.h"
#include "sb_pei/sb_pei.h"

namespace sbpei {
namespace {

constexpr UINTN kSingleDescriptorFlags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;

// The descriptor types name the GUID and interface through non-const pointers; the data
// behind them is constant and never written through them.
constexpr EFI_GUID *GuidPtr(const EFI_GUID &Guid) { return const_cast<EFI_GUID *>(&Guid); }
template <typename T>
constexpr VOID *PpiPtr(const T &Ppi) {
  return const_cast<T *>(&Ppi);
}

// Optional southbridge PPI: three words of 0 and one of all ones.
const UINT32 kSbOptionalPpi[4] = {0, 0, 0, 0xFFFFFFFF};

const EFI_PEI_RESET_PPI kSbResetPpi = {SbResetSystem};
const EFI_PEI_STALL_PPI kSbStallPpi = {1, SbPeiStall};

const EFI_PEI_PPI_DESCRIPTOR kSbOptionalPpiDescriptor = {kSingleDescriptorFlags, GuidPtr(gSbOptionalPpiGuid),
                                                         PpiPtr(kSbOptionalPpi)};
const EFI_PEI_PPI_DESCRIPTOR kSbResetPpiDescriptor = {kSingleDescriptorFlags, GuidPtr(gEfiPeiResetPpiGuid),
                                                      PpiPtr(kSbResetPpi)};
const EFI_PEI_PPI_DESCRIPTOR kSbStallPpiDescriptor = {kSingleDescriptorFlags, GuidPtr(gEfiPeiStallPpiGuid),
                                                      PpiPtr(kSbStallPpi)};
const EFI_PEI_PPI_DESCRIPTOR kSbInitDonePpiDescriptor = {kSingleDescriptorFlags, GuidPtr(gSbInitDonePpiGuid),
                                                         nullptr};

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  const auto *X = reinterpret_cast<const UINT32 *>(&A), *Y = reinterpret_cast<const UINT32 *>(&B);
  for (int I = 0; I < 4; ++I)
    if (X[I] != Y[I]) return false;
  return true;
}

void CopyGuid(EFI_GUID *Destination, const EFI_GUID &Source) {
  Destination->Data1 = Source.Data1;
  Destination->Data2 = Source.Data2;
  Destination->Data3 = Source.Data3;
  for (int I = 0; I < 8; ++I) Destination->Data4[I] = Source.Data4[I];
}

// Once the PEI core runs from permanent memory it has moved the HOB list out of temporary RAM,
// and the configuration block with it, and it gives temporary RAM up. The private data moved too,
// but still holds the block's old address: it is pointed at the block where it is now, so that a
// later module that reaches the block through the private PPI does not read (or write) a place
// that is gone. The block's services pointer is brought along the same way: the services table
// moved with the PEI core, and the one this notification is handed is the one in memory.
EFI_STATUS EFIAPI SbFollowConfigToMemory(EFI_PEI_SERVICES **PeiServices, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  const EFI_PEI_SERVICES **Ps = const_cast<const EFI_PEI_SERVICES **>(PeiServices);
  // The private PPI was installed before this notification was asked for, and a PEI core that
  // runs from memory has a HOB list: the two calls cannot fail.
  SB_PRIVATE_PPI *Private = nullptr;
  UINT8 *Hob = nullptr;
  (*Ps)->LocatePpi(Ps, &gSbPrivatePpiGuid, 0, nullptr, reinterpret_cast<VOID **>(&Private));
  (*Ps)->GetHobList(Ps, reinterpret_cast<VOID **>(&Hob));
  if (Private == nullptr) return EFI_NOT_FOUND;
  for (;;) {
    auto *Block = reinterpret_cast<SB_CONFIG_HOB *>(Hob);
    const UINT16 Type = Block->Header.Header.HobType, Length = Block->Header.Header.HobLength;
    // The end of the list, or a HOB of length 0 that would never end the walk.
    if (Type == EFI_HOB_TYPE_END_OF_HOB_LIST || Length == 0) return EFI_NOT_FOUND;
    if (Type == EFI_HOB_TYPE_GUID_EXTENSION && SameGuid(Block->Header.Name, gSbConfigHobGuid)) {
      Private->Config = &Block->Config;
      Block->Config.PeiServices = static_cast<UINT32>(reinterpret_cast<UINTN>(PeiServices));
      return EFI_SUCCESS;
    }
    Hob += Length;
  }
}

const EFI_PEI_NOTIFY_DESCRIPTOR kSbMemoryNotify = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    GuidPtr(gEfiPeiMemoryDiscoveredPpiGuid), SbFollowConfigToMemory};

// Calls the platform hook, if the platform provided one.
void CallHook(const SB_PLATFORM_HOOK_PPI *Platform, UINT32 HookPoint, SB_CONFIG *Config) {
  if (Platform != nullptr) Platform->Hook(HookPoint, 0, Config);
}

// Installs one of our own PPIs only when no other module installed that GUID already.
void InstallUnlessPresent(const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_PPI_DESCRIPTOR &Descriptor) {
  VOID *Existing = nullptr;
  if ((*PeiServices)->LocatePpi(PeiServices, Descriptor.Guid, 0, nullptr, &Existing) == EFI_NOT_FOUND) {
    (*PeiServices)->InstallPpi(PeiServices, &Descriptor);
  }
}

}  // namespace

EFI_STATUS SbSetConfigDefaults(const EFI_PEI_SERVICES **PeiServices, SB_PRIVATE_DATA *Private) {
  SB_CONFIG *Config = Private->Config;
  (*PeiServices)->SetMem(Config, sizeof(SB_CONFIG), 0);
  Config->PeiServices = static_cast<UINT32>(reinterpret_cast<UINTN>(PeiServices));
  Config->AcpiPm1EvtBlk = kDefaultAcpiPm1EvtBlk;
  Config->AcpiPm1CntBlk = kDefaultAcpiPm1CntBlk;
  Config->AcpiPmTmrBlk = kDefaultAcpiPmTmrBlk;
  Config->AcpiCpuCntBlk = kDefaultAcpiCpuCntBlk;
  Config->AcpiGpe0Blk = kDefaultAcpiGpe0Blk;
  return EFI_SUCCESS;
}

}  // namespace sbpei

using namespace sbpei;

extern "C" EFI_STATUS EFIAPI SbPeiEntry(EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **PeiServices) {
  const EFI_PEI_SERVICES *Services = *PeiServices;

  // Private data and configuration HOB. Without either there is nowhere to work: stop.
  SB_PRIVATE_DATA *Private = nullptr;
  EFI_STATUS Status = Services->AllocatePool(PeiServices, sizeof(SB_PRIVATE_DATA), reinterpret_cast<VOID **>(&Private));
  if (EFI_ERROR(Status) || Private == nullptr) return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;

  SB_CONFIG_HOB *Hob = nullptr;
  Status = Services->CreateHob(PeiServices, EFI_HOB_TYPE_GUID_EXTENSION, sizeof(SB_CONFIG_HOB),
                               reinterpret_cast<VOID **>(&Hob));
  if (EFI_ERROR(Status) || Hob == nullptr) return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;
  CopyGuid(&Hob->Header.Name, gSbConfigHobGuid);

  Private->Signature = kSbPrivateSignature;
  Private->Config = &Hob->Config;
  Private->Reserved = 0;
  Private->Version = kSbPrivateVersion;
  Private->GetSleepBootMode = SbGetSleepBootMode;
  SB_CONFIG *Config = Private->Config;
  SbSetConfigDefaults(PeiServices, Private);

  // Platform hook: found once; without it no hook point calls anything.
  SB_PLATFORM_HOOK_PPI *Platform = nullptr;
  if (Services->LocatePpi(PeiServices, &gSbPlatformHookPpiGuid, 0, nullptr, reinterpret_cast<VOID **>(&Platform)) ==
      EFI_SUCCESS) {
    Config->PlatformHook = static_cast<UINT32>(reinterpret_cast<UINTN>(Platform->Hook));
  } else {
    Platform = nullptr;
  }
  CallHook(Platform, SbHookAfterDefaults, Config);

  // Private PPI: its interface address is known only now, so its descriptor lives in the pool.
  EFI_PEI_PPI_DESCRIPTOR *PrivateDescriptor = nullptr;
  Status = Services->AllocatePool(PeiServices, sizeof(EFI_PEI_PPI_DESCRIPTOR),
                                  reinterpret_cast<VOID **>(&PrivateDescriptor));
  if (EFI_ERROR(Status) || PrivateDescriptor == nullptr) return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;
  PrivateDescriptor->Flags = kSingleDescriptorFlags;
  PrivateDescriptor->Guid = GuidPtr(gSbPrivatePpiGuid);
  PrivateDescriptor->Ppi = &Private->Reserved;
  Services->InstallPpi(PeiServices, PrivateDescriptor);
  Services->NotifyPpi(PeiServices, &kSbMemoryNotify);

  SbDetectBootMode(PeiServices, Private);
  EFI_BOOT_MODE BootMode = BOOT_WITH_FULL_CONFIGURATION;
  Services->GetBootMode(PeiServices, &BootMode);

  CallHook(Platform, SbHookBeforeInit, Config);
  SbEarlyInit(Config);
  CallHook(Platform, SbHookAfterInit, Config);

  if (Config->SbFlags & kSbFlagInstallOptionalPpi) Services->InstallPpi(PeiServices, &kSbOptionalPpiDescriptor);
  InstallUnlessPresent(PeiServices, kSbResetPpiDescriptor);
  InstallUnlessPresent(PeiServices, kSbStallPpiDescriptor);
  InstallSmbusPpi(PeiServices);
  if (BootMode == BOOT_ON_S3_RESUME) SbUsbS3Reset(Config);

  return Services->InstallPpi(PeiServices, &kSbInitDonePpiDescriptor);
}
