// Test platform PEIM: runs after SbPei (its dependency is SbPei's init-done PPI) and uses what
// SbPei published as a later module would: the private PPI, the stall PPI (timed against the
// chipset's ACPI PM timer), SMBus Execute on both controllers and, on the first boot only, the
// reset PPI, which must restart the machine through port 0xCF9. Every result is a report line.
// EDK2 library headers are C.
extern "C" {
#include <Library/IoLib.h>
}

// AutoGen declares the init-done GUID (it is this module's dependency); the header's constant of
// the same name is renamed out of the way.
#define gSbInitDonePpiGuid SbPeiHeader_gSbInitDonePpiGuid
#include "sb_pei/sb_pei.h"
#undef gSbInitDonePpiGuid

#include "pi/ppi/reset.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "TestPlatform/Cmos.h"
#include "TestPlatform/Report.h"

namespace {

using sbtest::ReadCmos;
using sbtest::WriteCmos;

// A spare CMOS byte remembers across the reset that the reset was asked for.
constexpr UINT8 kResetMarkerIndex = 0x6E;
constexpr UINT8 kResetMarker = 0x5B;

// The ACPI PM timer of the board's own chipset: PMBASE in the LPC bridge (0:1F.0 reg 0x40),
// the 24-bit 3.579545 MHz counter at PMBASE + 8.
constexpr UINT32 kLpcPmBaseConfigAddress = 0x8000F840;
constexpr UINT32 kPmTimerMask = 0x00FFFFFF;

// Where SbStall finds the port of the southbridge's own PM timer (PM registers 0x64/0x65).
constexpr UINTN kSbPmTimerPortReg = 0xFED80364;

template <typename T>
T *Locate(const EFI_PEI_SERVICES **PeiServices, const EFI_GUID &Guid, UINTN Instance) {
  VOID *Ppi = nullptr;
  if (EFI_ERROR((*PeiServices)->LocatePpi(PeiServices, &Guid, Instance, nullptr, &Ppi))) return nullptr;
  return static_cast<T *>(Ppi);
}

void ReportPrivatePpi(const EFI_PEI_SERVICES **PeiServices) {
  auto *Private = Locate<SB_PRIVATE_PPI>(PeiServices, gSbPrivatePpiGuid, 0);
  if (Private == nullptr) {
    SB_TEST_REPORT("SBTEST consumer: private PPI missing\n");
    return;
  }
  SB_TEST_REPORT("SBTEST consumer: private PPI version 0x%x GetSleepBootMode 0x%x SmbusBase0 0x%x SmbusBase1 0x%x\n",
                 Private->Version, Private->GetSleepBootMode(PeiServices), Private->Config->SmbusBase0,
                 Private->Config->SmbusBase1);
}

void ReportStall(const EFI_PEI_SERVICES **PeiServices) {
  auto *Stall = Locate<EFI_PEI_STALL_PPI>(PeiServices, gEfiPeiStallPpiGuid, 0);
  if (Stall == nullptr) {
    SB_TEST_REPORT("SBTEST consumer: stall PPI missing\n");
    return;
  }
  IoWrite32(0xCF8, kLpcPmBaseConfigAddress);
  const UINT16 TimerPort = static_cast<UINT16>((IoRead32(0xCFC) & 0xFF80) + 8);
  constexpr UINTN kMicroseconds = 20000;
  const UINT32 Start = IoRead32(TimerPort);
  const EFI_STATUS Status = Stall->Stall(PeiServices, Stall, kMicroseconds);
  const UINT32 Ticks = (IoRead32(TimerPort) - Start) & kPmTimerMask;
  SB_TEST_REPORT("SBTEST consumer: SbStall's timer port register 0xFED80364 reads 0x%x\n",
                 MmioRead16(kSbPmTimerPortReg));
  SB_TEST_REPORT("SBTEST consumer: Stall(%u us): %r, %u us on the PM timer at 0x%x\n", static_cast<UINT32>(kMicroseconds),
                 Status, static_cast<UINT32>(DivU64x32(MultU64x32(Ticks, 1000000), 3579545)), TimerPort);
}

void ReportSmbus(const EFI_PEI_SERVICES **PeiServices) {
  for (UINTN Instance = 0; Instance < 2; ++Instance) {
    auto *Smbus = Locate<EFI_PEI_SMBUS_PPI>(PeiServices, gEfiPeiSmbusPpiGuid, Instance);
    if (Smbus == nullptr) {
      SB_TEST_REPORT("SBTEST consumer: SMBus PPI %u missing\n", static_cast<UINT32>(Instance));
      continue;
    }
    EFI_SMBUS_DEVICE_ADDRESS Address = {};
    Address.SmbusDeviceAddress = 0x50;
    UINT8 Byte = 0;
    UINTN Length = 1;
    const EFI_STATUS Status = Smbus->Execute(const_cast<EFI_PEI_SERVICES **>(PeiServices), Smbus, Address, 0,
                                             EfiSmbusReadByte, FALSE, &Length, &Byte);
    SB_TEST_REPORT("SBTEST consumer: SMBus PPI %u Execute(read byte 0x50/0x00): %r\n", static_cast<UINT32>(Instance),
                   Status);
  }
}

void ResetOnFirstBoot(const EFI_PEI_SERVICES **PeiServices) {
  if (ReadCmos(kResetMarkerIndex) == kResetMarker) {
    SB_TEST_REPORT("SBTEST consumer: boot after the reset\n");
    return;
  }
  auto *Reset = Locate<EFI_PEI_RESET_PPI>(PeiServices, gEfiPeiResetPpiGuid, 0);
  if (Reset == nullptr) {
    SB_TEST_REPORT("SBTEST consumer: reset PPI missing\n");
    return;
  }
  WriteCmos(kResetMarkerIndex, kResetMarker);
  SB_TEST_REPORT("SBTEST consumer: ResetSystem\n");
  const EFI_STATUS Status = Reset->ResetSystem(PeiServices);
  SB_TEST_REPORT("SBTEST consumer: ResetSystem returned %r\n", Status);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SbTestConsumerPeiEntry(EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **PeiServices) {
  EFI_BOOT_MODE BootMode = 0;
  (*PeiServices)->GetBootMode(PeiServices, &BootMode);
  SB_TEST_REPORT("SBTEST consumer: SbPei init done; boot mode 0x%x\n", BootMode);
  ReportPrivatePpi(PeiServices);
  ReportStall(PeiServices);
  ReportSmbus(PeiServices);
  ResetOnFirstBoot(PeiServices);
  return EFI_SUCCESS;
}
