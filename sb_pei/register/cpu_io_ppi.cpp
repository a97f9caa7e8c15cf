// Byte port access through the CPU I/O PPI; the port goes to the PPI as a 64-bit address with
// the upper half zero. Kept out of line: a PPI call pushes five words, a call of these two.
#include "sb_pei/register/cpu_io_ppi.h"

#include "pi/ppi/cpu_io.h"

namespace sbpei {

__attribute__((noinline)) UINT8 CpuIoRead8(const EFI_PEI_SERVICES **PeiServices, UINT32 Port) {
  const EFI_PEI_CPU_IO_PPI *CpuIo = (*PeiServices)->CpuIo;
  return CpuIo->IoRead8(PeiServices, CpuIo, static_cast<UINT64>(Port));
}

__attribute__((noinline)) void CpuIoWrite8(const EFI_PEI_SERVICES **PeiServices, UINT32 Port, UINT8 Value) {
  const EFI_PEI_CPU_IO_PPI *CpuIo = (*PeiServices)->CpuIo;
  CpuIo->IoWrite8(PeiServices, CpuIo, static_cast<UINT64>(Port), Value);
}

}  // namespace sbpei
