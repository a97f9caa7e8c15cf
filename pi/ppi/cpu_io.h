// EFI_PEI_CPU_IO_PPI (PI volume 1), full table in member order.
#pragma once
#include "pi/pei_services.h"

#if defined(SB_PI_FROM_MDEPKG)
#include <Ppi/CpuIo.h>
#endif

SB_PI_OWN_BEGIN

enum EFI_PEI_CPU_IO_PPI_WIDTH : UINT32 {
  EfiPeiCpuIoWidthUint8,
  EfiPeiCpuIoWidthUint16,
  EfiPeiCpuIoWidthUint32,
  EfiPeiCpuIoWidthUint64,
  EfiPeiCpuIoWidthFifoUint8,
  EfiPeiCpuIoWidthFifoUint16,
  EfiPeiCpuIoWidthFifoUint32,
  EfiPeiCpuIoWidthFifoUint64,
  EfiPeiCpuIoWidthFillUint8,
  EfiPeiCpuIoWidthFillUint16,
  EfiPeiCpuIoWidthFillUint32,
  EfiPeiCpuIoWidthFillUint64,
  EfiPeiCpuIoWidthMaximum
};

typedef EFI_STATUS(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_MEM)(const EFI_PEI_SERVICES **PeiServices,
                                                      const EFI_PEI_CPU_IO_PPI *This,
                                                      EFI_PEI_CPU_IO_PPI_WIDTH Width, UINT64 Address, UINTN Count,
                                                      VOID *Buffer);

struct EFI_PEI_CPU_IO_PPI_ACCESS {
  EFI_PEI_CPU_IO_PPI_IO_MEM Read;
  EFI_PEI_CPU_IO_PPI_IO_MEM Write;
};

typedef UINT8(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_READ8)(const EFI_PEI_SERVICES **PeiServices,
                                                   const EFI_PEI_CPU_IO_PPI *This, UINT64 Address);
typedef UINT16(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_READ16)(const EFI_PEI_SERVICES **PeiServices,
                                                     const EFI_PEI_CPU_IO_PPI *This, UINT64 Address);
typedef UINT32(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_READ32)(const EFI_PEI_SERVICES **PeiServices,
                                                     const EFI_PEI_CPU_IO_PPI *This, UINT64 Address);
typedef UINT64(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_READ64)(const EFI_PEI_SERVICES **PeiServices,
                                                     const EFI_PEI_CPU_IO_PPI *This, UINT64 Address);
typedef VOID(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_WRITE8)(const EFI_PEI_SERVICES **PeiServices,
                                                   const EFI_PEI_CPU_IO_PPI *This, UINT64 Address, UINT8 Data);
typedef VOID(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_WRITE16)(const EFI_PEI_SERVICES **PeiServices,
                                                    const EFI_PEI_CPU_IO_PPI *This, UINT64 Address, UINT16 Data);
typedef VOID(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_WRITE32)(const EFI_PEI_SERVICES **PeiServices,
                                                    const EFI_PEI_CPU_IO_PPI *This, UINT64 Address, UINT32 Data);
typedef VOID(EFIAPI *EFI_PEI_CPU_IO_PPI_IO_WRITE64)(const EFI_PEI_SERVICES **PeiServices,
                                                    const EFI_PEI_CPU_IO_PPI *This, UINT64 Address, UINT64 Data);
// The memory accessors have the same shapes as the I/O accessors.
using EFI_PEI_CPU_IO_PPI_MEM_READ8 = EFI_PEI_CPU_IO_PPI_IO_READ8;
using EFI_PEI_CPU_IO_PPI_MEM_READ16 = EFI_PEI_CPU_IO_PPI_IO_READ16;
using EFI_PEI_CPU_IO_PPI_MEM_READ32 = EFI_PEI_CPU_IO_PPI_IO_READ32;
using EFI_PEI_CPU_IO_PPI_MEM_READ64 = EFI_PEI_CPU_IO_PPI_IO_READ64;
using EFI_PEI_CPU_IO_PPI_MEM_WRITE8 = EFI_PEI_CPU_IO_PPI_IO_WRITE8;
using EFI_PEI_CPU_IO_PPI_MEM_WRITE16 = EFI_PEI_CPU_IO_PPI_IO_WRITE16;
using EFI_PEI_CPU_IO_PPI_MEM_WRITE32 = EFI_PEI_CPU_IO_PPI_IO_WRITE32;
using EFI_PEI_CPU_IO_PPI_MEM_WRITE64 = EFI_PEI_CPU_IO_PPI_IO_WRITE64;

struct EFI_PEI_CPU_IO_PPI {
  EFI_PEI_CPU_IO_PPI_ACCESS Mem;
  EFI_PEI_CPU_IO_PPI_ACCESS Io;
  EFI_PEI_CPU_IO_PPI_IO_READ8 IoRead8;
  EFI_PEI_CPU_IO_PPI_IO_READ16 IoRead16;
  EFI_PEI_CPU_IO_PPI_IO_READ32 IoRead32;
  EFI_PEI_CPU_IO_PPI_IO_READ64 IoRead64;
  EFI_PEI_CPU_IO_PPI_IO_WRITE8 IoWrite8;
  EFI_PEI_CPU_IO_PPI_IO_WRITE16 IoWrite16;
  EFI_PEI_CPU_IO_PPI_IO_WRITE32 IoWrite32;
  EFI_PEI_CPU_IO_PPI_IO_WRITE64 IoWrite64;
  EFI_PEI_CPU_IO_PPI_MEM_READ8 MemRead8;
  EFI_PEI_CPU_IO_PPI_MEM_READ16 MemRead16;
  EFI_PEI_CPU_IO_PPI_MEM_READ32 MemRead32;
  EFI_PEI_CPU_IO_PPI_MEM_READ64 MemRead64;
  EFI_PEI_CPU_IO_PPI_MEM_WRITE8 MemWrite8;
  EFI_PEI_CPU_IO_PPI_MEM_WRITE16 MemWrite16;
  EFI_PEI_CPU_IO_PPI_MEM_WRITE32 MemWrite32;
  EFI_PEI_CPU_IO_PPI_MEM_WRITE64 MemWrite64;
};

SB_PI_OWN_END

#if !defined(SB_PI_FROM_MDEPKG)
inline constexpr EFI_GUID gEfiPeiCpuIoPpiInstalledGuid = {
    0xe6af1f7b, 0xfc3f, 0x46da, {0xa8, 0x28, 0xa3, 0xb4, 0x57, 0xa4, 0x42, 0x82}};
#endif
