// Boot mode from the ACPI sleep type that the southbridge kept across the sleep.
#include "pi/ppi/cpu_io.h"
#include "sb_pei/register/indexed.h"
#include "sb_pei/sb_pei.h"

namespace sbpei {
namespace {

constexpr UINT8 kPmRegPm1CntBlk = 0x62;  // PM registers 0x62/0x63: the PM1 control port
constexpr UINT32 kSlpTypShift = 10;  // PM1 control bits 10-12: the sleep type
constexpr UINT32 kSlpTypMask = 7;

// The boot mode of each sleep type: S3, S4 and S5 resume; anything else is a full boot.
constexpr UINT8 kBootModeOfSleepType[8] = {
    BOOT_WITH_FULL_CONFIGURATION, BOOT_WITH_FULL_CONFIGURATION, BOOT_WITH_FULL_CONFIGURATION,
    BOOT_ON_S3_RESUME,            BOOT_ON_S4_RESUME,            BOOT_ON_S5_RESUME,
    BOOT_WITH_FULL_CONFIGURATION, BOOT_WITH_FULL_CONFIGURATION,
};

}  // namespace

EFI_BOOT_MODE EFIAPI SbGetSleepBootMode(const EFI_PEI_SERVICES **PeiServices) {
  const UINT16 Port = ReadPmWordPpi(PeiServices, kPmRegPm1CntBlk);
  const EFI_PEI_CPU_IO_PPI *CpuIo = (*PeiServices)->CpuIo;
  const UINT16 Pm1Control = CpuIo->IoRead16(PeiServices, CpuIo, Port);
  return kBootModeOfSleepType[Pm1Control >> kSlpTypShift & kSlpTypMask];
}

EFI_STATUS SbDetectBootMode(const EFI_PEI_SERVICES **PeiServices, SB_PRIVATE_DATA *Private) {
  const EFI_BOOT_MODE SleepMode = SbGetSleepBootMode(PeiServices);
  EFI_BOOT_MODE Current = BOOT_WITH_FULL_CONFIGURATION;
  (*PeiServices)->GetBootMode(PeiServices, &Current);

  // An S3 resume is marked in the block whatever mode the boot ends up in.
  if (SleepMode == BOOT_ON_S3_RESUME) Private->Config->SbFlags |= kSbFlagS3Resume;

  // Recovery and flash update, set by earlier modules, are kept; everything else is replaced.
  if (Current != BOOT_IN_RECOVERY_MODE && Current != BOOT_ON_FLASH_UPDATE) {
    (*PeiServices)->SetBootMode(PeiServices, SleepMode);
  }
  return EFI_SUCCESS;
}

}  // namespace sbpei
