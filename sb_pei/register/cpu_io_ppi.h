// Byte port access through the CPU I/O PPI of a PEI services table, for the services that go
// through the PPI instead of the register layer: the PM reads of boot-mode detection, the
// SMBus controllers and the reset PPI. The PPI is taken from the table on every access.
#pragma once
#include "pi/pei_services.h"

namespace sbpei {

UINT8 CpuIoRead8(const EFI_PEI_SERVICES **PeiServices, UINT32 Port);
void CpuIoWrite8(const EFI_PEI_SERVICES **PeiServices, UINT32 Port, UINT8 Value);

}  // namespace sbpei
