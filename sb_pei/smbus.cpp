// The two SMBus host controllers as EFI_PEI_SMBUS_PPI instances. Every register access goes
// through the CPU I/O PPI of the services table that the call was given; all waiting is by
// I/O delays and bounded poll counts.
#include "pi/ppi/cpu_io.h"
#include "pi/ppi/smbus.h"
#include "sb_pei/sb_pei.h"

namespace sbpei {
namespace {

// Host controller registers (I/O, at IoBase + offset).
constexpr UINT32 kHostStatus = 0x00;
constexpr UINT32 kSlaveStatus = 0x01;
constexpr UINT32 kHostControl = 0x02;
constexpr UINT32 kHostCommand = 0x03;
constexpr UINT32 kSlaveAddress = 0x04;
constexpr UINT32 kData0 = 0x05;
constexpr UINT32 kData1 = 0x06;
constexpr UINT32 kBlockData = 0x07;
constexpr UINT32 kSemaphore = 0x08;

constexpr UINT8 kHostBusy = 0x01;
constexpr UINT8 kDeviceError = 0x04;
constexpr UINT8 kCollision = 0x08;
constexpr UINT8 kCompletionBits = 0x0E;    // finished, device error, collision
constexpr UINT8 kClearHostStatus = 0x1F;   // write-one-to-clear bits 0-4
constexpr UINT8 kClearSlaveStatus = 0x3F;  // write-one-to-clear bits 0-5
constexpr UINT8 kSlaveBusy = 0x01;
constexpr UINT8 kAbort = 0x02;
constexpr UINT8 kStart = 0x40;

constexpr UINT8 kSemaphoreOurs = 0x10;    // our claim: write 1 to request, reads 1 while held
constexpr UINT8 kSemaphoreRelease = 0x20;
constexpr UINT8 kSemaphoreOther = 0x40;   // the other agent's claim

constexpr UINT16 kIoDelayPort = 0xED;

constexpr UINT32 kIdlePasses = 3;
constexpr UINT32 kIdlePolls = 101;
constexpr UINT32 kAttempts = 3;
constexpr UINT32 kCompletionPolls = 10000;
// The semaphore is normally had at once or after the other agent's transaction (well under
// a millisecond). A controller that never grants it (not decoded, reading all ones, or an
// agent that died holding it) ends the wait after about a second.
constexpr UINT32 kSemaphorePolls = 200000;
constexpr UINTN kMaxBlock = 32;

constexpr UINT8 kProtocolQuick = 0x00;
constexpr UINT8 kProtocolByte = 0x04;
constexpr UINT8 kProtocolByteData = 0x08;
constexpr UINT8 kProtocolWordData = 0x0C;
constexpr UINT8 kProtocolBlock = 0x14;

struct SMBUS_CONTROLLER;
typedef UINT8 (*SMBUS_READ_REG)(const SMBUS_CONTROLLER *Controller, UINT32 Offset);
typedef void (*SMBUS_WRITE_REG)(const SMBUS_CONTROLLER *Controller, UINT32 Offset, UINT8 Value);

// One controller. `Ppi` comes first, so the `This` a consumer passes back is the record.
struct SMBUS_CONTROLLER {
  EFI_PEI_SMBUS_PPI Ppi;
  EFI_PEI_SERVICES **PeiServices;
  UINT32 IoBase;
  SMBUS_READ_REG ReadReg;
  SMBUS_WRITE_REG WriteReg;
};

// The services table of the call, and the CPU I/O PPI taken from it afresh each time.
const EFI_PEI_SERVICES **ServicesOf(const SMBUS_CONTROLLER *Controller) {
  return const_cast<const EFI_PEI_SERVICES **>(Controller->PeiServices);
}

UINT8 SmbusReadReg(const SMBUS_CONTROLLER *Controller, UINT32 Offset) {
  const EFI_PEI_SERVICES **Services = ServicesOf(Controller);
  const EFI_PEI_CPU_IO_PPI *CpuIo = (*Services)->CpuIo;
  return CpuIo->IoRead8(Services, CpuIo, static_cast<UINT64>(Controller->IoBase + Offset));
}

void SmbusWriteReg(const SMBUS_CONTROLLER *Controller, UINT32 Offset, UINT8 Value) {
  const EFI_PEI_SERVICES **Services = ServicesOf(Controller);
  const EFI_PEI_CPU_IO_PPI *CpuIo = (*Services)->CpuIo;
  CpuIo->IoWrite8(Services, CpuIo, static_cast<UINT64>(Controller->IoBase + Offset), Value);
}

// Two reads of port 0xED.
void IoDelay(const SMBUS_CONTROLLER *Controller) {
  const EFI_PEI_SERVICES **Services = ServicesOf(Controller);
  const EFI_PEI_CPU_IO_PPI *CpuIo = (*Services)->CpuIo;
  CpuIo->IoRead8(Services, CpuIo, kIoDelayPort);
  CpuIo->IoRead8(Services, CpuIo, kIoDelayPort);
}

// Takes the host semaphore; gives our claim up whenever the other agent claims beside us.
bool TakeSemaphore(const SMBUS_CONTROLLER *C) {
  for (UINT32 Poll = 0; Poll < kSemaphorePolls; ++Poll) {
    const UINT8 Value = C->ReadReg(C, kSemaphore);
    const bool Other = (Value & kSemaphoreOther) != 0;
    const bool Ours = (Value & kSemaphoreOurs) != 0;
    if (!Other && Ours) return true;
    if (Other && Ours) {
      C->WriteReg(C, kSemaphore, Value | kSemaphoreRelease);
    } else if (Other) {
      IoDelay(C);
    } else {
      C->WriteReg(C, kSemaphore, Value | kSemaphoreOurs);
    }
  }
  return false;
}

// Waits for a status bit to clear: up to 3 passes of 101 polls, an abort after each pass.
EFI_STATUS WaitIdle(const SMBUS_CONTROLLER *C, UINT32 Status, UINT8 Clear, UINT8 Busy, UINT32 AbortRegister) {
  for (UINT32 Pass = 0; Pass < kIdlePasses; ++Pass) {
    for (UINT32 Poll = 0; Poll < kIdlePolls; ++Poll) {
      C->WriteReg(C, Status, Clear);
      IoDelay(C);
      if ((C->ReadReg(C, Status) & Busy) == 0) return EFI_SUCCESS;
    }
    C->WriteReg(C, AbortRegister, kAbort);
  }
  return EFI_TIMEOUT;
}

// What an operation puts on the bus.
struct Transaction {
  UINT8 Address;
  UINT8 Command;
  UINT8 Protocol;
};

// A rule "at least N, set to N": `*Length` holds N from here on, whatever the outcome.
EFI_STATUS RequireLength(UINTN *Length, UINTN N) {
  const bool TooSmall = *Length < N;
  *Length = N;
  return TooSmall ? EFI_BUFFER_TOO_SMALL : EFI_SUCCESS;
}

EFI_STATUS Prepare(EFI_SMBUS_DEVICE_ADDRESS SlaveAddress, EFI_SMBUS_DEVICE_COMMAND Command,
                   EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck, UINTN *Length, const UINT8 *Buffer,
                   Transaction *T) {
  const UINT8 Read = static_cast<UINT8>(static_cast<UINT8>(SlaveAddress.SmbusDeviceAddress) << 1 | 1);
  T->Address = Read;
  T->Command = static_cast<UINT8>(Command);
  switch (Operation) {
    case EfiSmbusQuickRead:
      if (PecCheck) return EFI_UNSUPPORTED;
      T->Protocol = kProtocolQuick;
      return EFI_SUCCESS;
    case EfiSmbusQuickWrite:
      T->Address = Read & 0xFE;
      T->Protocol = kProtocolQuick;
      return EFI_SUCCESS;
    case EfiSmbusReceiveByte:
      T->Protocol = kProtocolByte;
      return RequireLength(Length, 1);
    case EfiSmbusSendByte:
      T->Address = Read & 0xFE;
      T->Command = Buffer[0];
      T->Protocol = kProtocolByte;
      return EFI_SUCCESS;
    case EfiSmbusReadByte:
      T->Protocol = kProtocolByteData;
      return RequireLength(Length, 1);
    case EfiSmbusWriteByte:
      T->Address = Read & 0xFE;
      T->Protocol = kProtocolByteData;
      return RequireLength(Length, 1);
    case EfiSmbusReadWord:
      T->Protocol = kProtocolWordData;
      return RequireLength(Length, 2);
    case EfiSmbusWriteWord:
      T->Address = Read & 0xFE;
      T->Protocol = kProtocolWordData;
      return RequireLength(Length, 2);
    case EfiSmbusReadBlock:
    case EfiSmbusWriteBlock:
      if (Operation == EfiSmbusWriteBlock) T->Address = Read & 0xFE;
      T->Protocol = kProtocolBlock;
      return (*Length >= 1 && *Length <= kMaxBlock) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
    case EfiSmbusBWBRProcessCall:
      return EFI_UNSUPPORTED;
    case EfiSmbusProcessCall:
    default:
      return EFI_INVALID_PARAMETER;
  }
}

// Loads the data registers before the start.
void Preload(const SMBUS_CONTROLLER *C, EFI_SMBUS_OPERATION Operation, const UINTN *Length, const UINT8 *Buffer) {
  switch (Operation) {
    case EfiSmbusSendByte:
    case EfiSmbusWriteByte:
      C->WriteReg(C, kData0, Buffer[0]);
      break;
    case EfiSmbusWriteWord:
      C->WriteReg(C, kData1, Buffer[1]);
      C->WriteReg(C, kData0, Buffer[0]);
      break;
    case EfiSmbusReadBlock:
      C->WriteReg(C, kData0, static_cast<UINT8>(*Length));
      break;
    case EfiSmbusWriteBlock:
      C->WriteReg(C, kData0, static_cast<UINT8>(*Length));
      for (UINTN I = 0; I < *Length; ++I) C->WriteReg(C, kBlockData, Buffer[I]);
      break;
    default:
      break;
  }
}

// Reads the results of a successful transaction back.
EFI_STATUS ReadBack(const SMBUS_CONTROLLER *C, EFI_SMBUS_OPERATION Operation, UINTN *Length, UINT8 *Buffer) {
  switch (Operation) {
    case EfiSmbusReceiveByte:
    case EfiSmbusReadByte:
      Buffer[0] = C->ReadReg(C, kData0);
      return EFI_SUCCESS;
    case EfiSmbusReadWord:
      Buffer[1] = C->ReadReg(C, kData1);
      Buffer[0] = C->ReadReg(C, kData0);
      return EFI_SUCCESS;
    case EfiSmbusReadBlock: {
      C->ReadReg(C, kHostControl);  // resets the block data index
      const UINTN Count = C->ReadReg(C, kData0);
      if (Count > *Length) {
        *Length = Count;
        return EFI_BUFFER_TOO_SMALL;
      }
      for (UINTN I = 0; I < Count; ++I) Buffer[I] = C->ReadReg(C, kBlockData);
      *Length = Count;
      return EFI_SUCCESS;
    }
    default:
      return EFI_SUCCESS;
  }
}

// Up to three attempts; collisions are retried, a device error is final.
EFI_STATUS RunTransaction(const SMBUS_CONTROLLER *C, const Transaction &T, EFI_SMBUS_OPERATION Operation,
                          UINTN *Length, UINT8 *Buffer) {
  for (UINT32 Attempt = 1;; ++Attempt) {
    C->WriteReg(C, kHostStatus, kClearHostStatus);
    C->WriteReg(C, kSlaveAddress, T.Address);
    C->WriteReg(C, kHostCommand, T.Command);
    C->WriteReg(C, kHostControl, T.Protocol);
    C->ReadReg(C, kHostControl);  // resets the block data index
    Preload(C, Operation, Length, Buffer);
    C->WriteReg(C, kHostControl, T.Protocol | kStart);

    UINT8 Status = 0;
    for (UINT32 Poll = 0; Poll < kCompletionPolls; ++Poll) {
      Status = C->ReadReg(C, kHostStatus);
      if (Status & kCompletionBits) break;
      IoDelay(C);
    }
    // A transaction that never finished has no result to read back.
    if ((Status & kCompletionBits) == 0) return EFI_TIMEOUT;
    if (Status & kDeviceError) return EFI_DEVICE_ERROR;
    if ((Status & kCollision) == 0) return ReadBack(C, Operation, Length, Buffer);
    C->WriteReg(C, kHostStatus, kCollision);
    if (Attempt == kAttempts) return EFI_DEVICE_ERROR;
  }
}

// Clears host status and gives the semaphore back.
void EndTransaction(const SMBUS_CONTROLLER *C) {
  C->WriteReg(C, kHostStatus, kClearHostStatus);
  C->WriteReg(C, kSemaphore, C->ReadReg(C, kSemaphore) | kSemaphoreRelease);
}

EFI_STATUS EFIAPI SmbusExecute(EFI_PEI_SERVICES **PeiServices, EFI_PEI_SMBUS_PPI *This,
                               EFI_SMBUS_DEVICE_ADDRESS SlaveAddress, EFI_SMBUS_DEVICE_COMMAND Command,
                               EFI_SMBUS_OPERATION Operation, BOOLEAN PecCheck, UINTN *Length, VOID *Buffer) {
  const bool Quick = Operation == EfiSmbusQuickRead || Operation == EfiSmbusQuickWrite;
  if (!Quick && (Length == nullptr || Buffer == nullptr)) return EFI_INVALID_PARAMETER;
  if (This == nullptr) return EFI_INVALID_PARAMETER;

  SMBUS_CONTROLLER Controller;
  Controller.PeiServices = PeiServices;
  Controller.IoBase = reinterpret_cast<SMBUS_CONTROLLER *>(This)->IoBase;
  Controller.ReadReg = SmbusReadReg;
  Controller.WriteReg = SmbusWriteReg;
  const SMBUS_CONTROLLER *C = &Controller;
  // No controller decodes at I/O 0 (the DMA controller does): an instance whose base the
  // platform never set touches nothing.
  if (C->IoBase == 0) return EFI_DEVICE_ERROR;

  if (!TakeSemaphore(C)) return EFI_TIMEOUT;

  // From here on the controller is ours: every way out clears it and gives it back.
  UINT8 *Bytes = static_cast<UINT8 *>(Buffer);
  Transaction T = {0, 0, 0};
  EFI_STATUS Status = WaitIdle(C, kHostStatus, kClearHostStatus, kHostBusy, kHostControl);
  if (Status == EFI_SUCCESS) Status = WaitIdle(C, kSlaveStatus, kClearSlaveStatus, kSlaveBusy, kSlaveStatus);
  if (Status == EFI_SUCCESS) Status = Prepare(SlaveAddress, Command, Operation, PecCheck, Length, Bytes, &T);
  if (Status == EFI_SUCCESS) Status = RunTransaction(C, T, Operation, Length, Bytes);
  EndTransaction(C);
  return Status;
}

EFI_STATUS EFIAPI SmbusArpDevice(EFI_PEI_SERVICES **, EFI_PEI_SMBUS_PPI *, BOOLEAN, EFI_SMBUS_UDID *,
                                 EFI_SMBUS_DEVICE_ADDRESS *) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmbusGetArpMap(EFI_PEI_SERVICES **, EFI_PEI_SMBUS_PPI *, UINTN *, EFI_SMBUS_DEVICE_MAP **) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmbusSetNotify(EFI_PEI_SERVICES **, EFI_PEI_SMBUS_PPI *, EFI_SMBUS_DEVICE_ADDRESS, UINTN,
                                 EFI_PEI_SMBUS_NOTIFY_FUNCTION) {
  return EFI_UNSUPPORTED;
}

}  // namespace

EFI_STATUS InstallSmbusPpi(const EFI_PEI_SERVICES **PeiServices) {
  const EFI_PEI_SERVICES *Services = *PeiServices;

  SB_PRIVATE_PPI *Private = nullptr;
  EFI_STATUS Status =
      Services->LocatePpi(PeiServices, &gSbPrivatePpiGuid, 0, nullptr, reinterpret_cast<VOID **>(&Private));
  if (EFI_ERROR(Status) || Private == nullptr) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  const SB_CONFIG *Config = Private->Config;

  SMBUS_CONTROLLER *Controllers = nullptr;
  Status = Services->AllocatePool(PeiServices, 2 * sizeof(SMBUS_CONTROLLER), reinterpret_cast<VOID **>(&Controllers));
  if (EFI_ERROR(Status) || Controllers == nullptr) return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;
  const UINT32 Bases[2] = {Config->SmbusBase0, Config->SmbusBase1};
  for (UINT32 I = 0; I < 2; ++I) {
    Controllers[I].Ppi.Execute = SmbusExecute;
    Controllers[I].Ppi.ArpDevice = SmbusArpDevice;
    Controllers[I].Ppi.GetArpMap = SmbusGetArpMap;
    Controllers[I].Ppi.SetNotify = SmbusSetNotify;
    Controllers[I].IoBase = Bases[I];
  }

  EFI_PEI_PPI_DESCRIPTOR *Descriptors = nullptr;
  Status =
      Services->AllocatePool(PeiServices, 2 * sizeof(EFI_PEI_PPI_DESCRIPTOR), reinterpret_cast<VOID **>(&Descriptors));
  if (EFI_ERROR(Status) || Descriptors == nullptr) return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;
  for (UINT32 I = 0; I < 2; ++I) {
    Descriptors[I].Flags = EFI_PEI_PPI_DESCRIPTOR_PPI | (I == 1 ? EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST : 0);
    Descriptors[I].Guid = const_cast<EFI_GUID *>(&gEfiPeiSmbusPpiGuid);
    Descriptors[I].Ppi = &Controllers[I].Ppi;
  }
  return Services->InstallPpi(PeiServices, Descriptors);
}

}  // namespace sbpei
