// PEI services table and PPI descriptors (PI volume 1), full table in member order.
#pragma once
#include "pi/base.h"
#include "pi/hob.h"

#if defined(SB_PI_FROM_MDEPKG)
#include <PiPei.h>
#endif

SB_PI_OWN_BEGIN

struct EFI_PEI_SERVICES;
struct EFI_PEI_CPU_IO_PPI;
struct EFI_PEI_PCI_CFG2_PPI;
struct EFI_PEI_NOTIFY_DESCRIPTOR;
struct EFI_FV_FILE_INFO;
struct EFI_FV_FILE_INFO2;
struct EFI_FV_INFO;

using EFI_PEI_FV_HANDLE = VOID *;
using EFI_PEI_FILE_HANDLE = VOID *;
using EFI_FV_FILETYPE = UINT8;
using EFI_SECTION_TYPE = UINT8;
using EFI_PEI_FILE_HANDLE_CONST = const VOID *;

struct EFI_PEI_PPI_DESCRIPTOR {
  UINTN Flags;
  EFI_GUID *Guid;
  VOID *Ppi;
};

// A notification: `Notify` is called when a PPI of `Guid` is installed.
typedef EFI_STATUS(EFIAPI *EFI_PEIM_NOTIFY_ENTRY_POINT)(EFI_PEI_SERVICES **PeiServices,
                                                        EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi);
struct EFI_PEI_NOTIFY_DESCRIPTOR {
  UINTN Flags;
  EFI_GUID *Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};

// Service prototypes, in table order.
typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                                const EFI_PEI_PPI_DESCRIPTOR *PpiList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REINSTALL_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                                  const EFI_PEI_PPI_DESCRIPTOR *OldPpi,
                                                  const EFI_PEI_PPI_DESCRIPTOR *NewPpi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_LOCATE_PPI)(const EFI_PEI_SERVICES **PeiServices, const EFI_GUID *Guid,
                                               UINTN Instance, EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor,
                                               VOID **Ppi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_NOTIFY_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                               const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_BOOT_MODE)(const EFI_PEI_SERVICES **PeiServices, EFI_BOOT_MODE *BootMode);
typedef EFI_STATUS(EFIAPI *EFI_PEI_SET_BOOT_MODE)(const EFI_PEI_SERVICES **PeiServices, EFI_BOOT_MODE BootMode);
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_HOB_LIST)(const EFI_PEI_SERVICES **PeiServices, VOID **HobList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_CREATE_HOB)(const EFI_PEI_SERVICES **PeiServices, UINT16 Type, UINT16 Length,
                                               VOID **Hob);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_NEXT_VOLUME2)(const EFI_PEI_SERVICES **PeiServices, UINTN Instance,
                                                          EFI_PEI_FV_HANDLE *VolumeHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_NEXT_FILE2)(const EFI_PEI_SERVICES **PeiServices,
                                                        EFI_FV_FILETYPE SearchType, EFI_PEI_FV_HANDLE FvHandle,
                                                        EFI_PEI_FILE_HANDLE *FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_SECTION_DATA2)(const EFI_PEI_SERVICES **PeiServices,
                                                           EFI_SECTION_TYPE SectionType,
                                                           EFI_PEI_FILE_HANDLE FileHandle, VOID **SectionData);
typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PEI_MEMORY)(const EFI_PEI_SERVICES **PeiServices,
                                                       EFI_PHYSICAL_ADDRESS MemoryBegin, UINT64 MemoryLength);
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_PAGES)(const EFI_PEI_SERVICES **PeiServices,
                                                   EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                                   EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_POOL)(const EFI_PEI_SERVICES **PeiServices, UINTN Size,
                                                  VOID **Buffer);
typedef VOID(EFIAPI *EFI_PEI_COPY_MEM)(VOID *Destination, VOID *Source, UINTN Length);
typedef VOID(EFIAPI *EFI_PEI_SET_MEM)(VOID *Buffer, UINTN Size, UINT8 Value);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REPORT_STATUS_CODE)(const EFI_PEI_SERVICES **PeiServices,
                                                       EFI_STATUS_CODE_TYPE Type, EFI_STATUS_CODE_VALUE Value,
                                                       UINT32 Instance, const EFI_GUID *CallerId,
                                                       const EFI_STATUS_CODE_DATA *Data);
typedef EFI_STATUS(EFIAPI *EFI_PEI_RESET_SYSTEM)(const EFI_PEI_SERVICES **PeiServices);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_BY_NAME)(const EFI_GUID *FileName, EFI_PEI_FV_HANDLE VolumeHandle,
                                                     EFI_PEI_FILE_HANDLE *FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_FILE_INFO)(EFI_PEI_FILE_HANDLE FileHandle, EFI_FV_FILE_INFO *FileInfo);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_VOLUME_INFO)(EFI_PEI_FV_HANDLE VolumeHandle, EFI_FV_INFO *VolumeInfo);
typedef EFI_STATUS(EFIAPI *EFI_PEI_REGISTER_FOR_SHADOW)(EFI_PEI_FILE_HANDLE FileHandle);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_FIND_SECTION_DATA3)(const EFI_PEI_SERVICES **PeiServices,
                                                           EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
                                                           EFI_PEI_FILE_HANDLE FileHandle, VOID **SectionData,
                                                           UINT32 *AuthenticationStatus);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FFS_GET_FILE_INFO2)(EFI_PEI_FILE_HANDLE FileHandle,
                                                       EFI_FV_FILE_INFO2 *FileInfo);
typedef VOID(EFIAPI *EFI_PEI_RESET2_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                            VOID *ResetData);
typedef EFI_STATUS(EFIAPI *EFI_PEI_FREE_PAGES)(const EFI_PEI_SERVICES **PeiServices, EFI_PHYSICAL_ADDRESS Memory,
                                               UINTN Pages);

struct EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  // PPI functions
  EFI_PEI_INSTALL_PPI InstallPpi;
  EFI_PEI_REINSTALL_PPI ReInstallPpi;
  EFI_PEI_LOCATE_PPI LocatePpi;
  EFI_PEI_NOTIFY_PPI NotifyPpi;
  // Boot mode functions
  EFI_PEI_GET_BOOT_MODE GetBootMode;
  EFI_PEI_SET_BOOT_MODE SetBootMode;
  // HOB functions
  EFI_PEI_GET_HOB_LIST GetHobList;
  EFI_PEI_CREATE_HOB CreateHob;
  // Firmware volume functions
  EFI_PEI_FFS_FIND_NEXT_VOLUME2 FfsFindNextVolume;
  EFI_PEI_FFS_FIND_NEXT_FILE2 FfsFindNextFile;
  EFI_PEI_FFS_FIND_SECTION_DATA2 FfsFindSectionData;
  // PEI memory functions
  EFI_PEI_INSTALL_PEI_MEMORY InstallPeiMemory;
  EFI_PEI_ALLOCATE_PAGES AllocatePages;
  EFI_PEI_ALLOCATE_POOL AllocatePool;
  EFI_PEI_COPY_MEM CopyMem;
  EFI_PEI_SET_MEM SetMem;
  // Status code
  EFI_PEI_REPORT_STATUS_CODE ReportStatusCode;
  // Reset
  EFI_PEI_RESET_SYSTEM ResetSystem;
  // I/O abstractions
  EFI_PEI_CPU_IO_PPI *CpuIo;
  EFI_PEI_PCI_CFG2_PPI *PciCfg;
  // Future installed services
  EFI_PEI_FFS_FIND_BY_NAME FfsFindFileByName;
  EFI_PEI_FFS_GET_FILE_INFO FfsGetFileInfo;
  EFI_PEI_FFS_GET_VOLUME_INFO FfsGetVolumeInfo;
  EFI_PEI_REGISTER_FOR_SHADOW RegisterForShadow;
  EFI_PEI_FFS_FIND_SECTION_DATA3 FindSectionData3;
  EFI_PEI_FFS_GET_FILE_INFO2 FfsGetFileInfo2;
  EFI_PEI_RESET2_SYSTEM ResetSystem2;
  EFI_PEI_FREE_PAGES FreePages;
};

// PEIM entry point.
typedef EFI_STATUS(EFIAPI *EFI_PEIM_ENTRY_POINT2)(EFI_PEI_FILE_HANDLE FileHandle,
                                                  const EFI_PEI_SERVICES **PeiServices);

SB_PI_OWN_END

#if !defined(SB_PI_FROM_MDEPKG)
constexpr UINT64 PEI_SERVICES_SIGNATURE = 0x5652455320494550ULL;  // "PEI SERV"
// PPI descriptor flags.
constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_PIC = 0x00000001;
constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_PPI = 0x00000010;
constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK = 0x00000020;
constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH = 0x00000040;
constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES = 0x00000060;
constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST = 0x80000000;
#endif
