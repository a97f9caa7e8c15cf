// EFI_PEI_SMBUS_PPI (the Framework SMBus PPI) and the SMBus types that PI defines.
#pragma once
#include "pi/pei_services.h"

#if defined(SB_PI_FROM_MDEPKG)
#include <IndustryStandard/SmBus.h>
#endif

// The SMBus types that PI defines.
SB_PI_OWN_BEGIN

struct EFI_SMBUS_DEVICE_ADDRESS {
  UINTN SmbusDeviceAddress : 7;
};

using EFI_SMBUS_DEVICE_COMMAND = UINTN;

enum EFI_SMBUS_OPERATION : UINT32 {
  EfiSmbusQuickRead,
  EfiSmbusQuickWrite,
  EfiSmbusReceiveByte,
  EfiSmbusSendByte,
  EfiSmbusReadByte,
  EfiSmbusWriteByte,
  EfiSmbusReadWord,
  EfiSmbusWriteWord,
  EfiSmbusReadBlock,
  EfiSmbusWriteBlock,
  EfiSmbusProcessCall,
  EfiSmbusBWBRProcessCall
};

struct EFI_SMBUS_UDID {
  UINT32 VendorSpecificId;
  UINT16 SubsystemDeviceId;
  UINT16 SubsystemVendorId;
  UINT16 Interface;
  UINT16 DeviceId;
  UINT16 VendorId;
  UINT8 VendorRevision;
  UINT8 DeviceCapabilities;
};

struct EFI_SMBUS_DEVICE_MAP {
  EFI_SMBUS_DEVICE_ADDRESS SmbusDeviceAddress;
  EFI_SMBUS_UDID SmbusDeviceUdid;
};

SB_PI_OWN_END

// The Framework SMBus PPI, which MdePkg does not declare.
struct EFI_PEI_SMBUS_PPI;

typedef EFI_STATUS(EFIAPI *EFI_PEI_SMBUS_PPI_EXECUTE_OPERATION)(
    EFI_PEI_SERVICES **PeiServices, EFI_PEI_SMBUS_PPI *This, EFI_SMBUS_DEVICE_ADDRESS SlaveAddress,
    EFI_SMBUS_DEVICE_COMMAND Command, EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck, UINTN *Length,
    VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_PEI_SMBUS_NOTIFY_FUNCTION)(EFI_PEI_SERVICES **PeiServices, EFI_PEI_SMBUS_PPI *SmbusPpi,
                                                          EFI_SMBUS_DEVICE_ADDRESS SlaveAddress, UINTN Data);
typedef EFI_STATUS(EFIAPI *EFI_PEI_SMBUS_PPI_ARP_DEVICE)(EFI_PEI_SERVICES **PeiServices, EFI_PEI_SMBUS_PPI *This,
                                                         BOOLEAN ArpAll, EFI_SMBUS_UDID *SmbusUdid,
                                                         EFI_SMBUS_DEVICE_ADDRESS *SlaveAddress);
typedef EFI_STATUS(EFIAPI *EFI_PEI_SMBUS_PPI_GET_ARP_MAP)(EFI_PEI_SERVICES **PeiServices, EFI_PEI_SMBUS_PPI *This,
                                                          UINTN *Length, EFI_SMBUS_DEVICE_MAP **SmbusDeviceMap);
typedef EFI_STATUS(EFIAPI *EFI_PEI_SMBUS_PPI_SET_NOTIFY)(EFI_PEI_SERVICES **PeiServices, EFI_PEI_SMBUS_PPI *This,
                                                         EFI_SMBUS_DEVICE_ADDRESS SlaveAddress, UINTN Data,
                                                         EFI_PEI_SMBUS_NOTIFY_FUNCTION NotifyFunction);

struct EFI_PEI_SMBUS_PPI {
  EFI_PEI_SMBUS_PPI_EXECUTE_OPERATION Execute;
  EFI_PEI_SMBUS_PPI_ARP_DEVICE ArpDevice;
  EFI_PEI_SMBUS_PPI_GET_ARP_MAP GetArpMap;
  EFI_PEI_SMBUS_PPI_SET_NOTIFY SetNotify;
};

inline constexpr EFI_GUID gEfiPeiSmbusPpiGuid = {
    0xabd42895, 0x78cf, 0x4872, {0x84, 0x44, 0x1b, 0x5c, 0x18, 0x0b, 0xfb, 0xda}};
