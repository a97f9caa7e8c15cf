// The two SMBus host controllers as EFI_PEI_SMBUS_PPI instances. Every register access goes
// through the CPU I/O PPI of the services table that the call was given; all waiting is by
// I/O delays and bounded poll counts.
#include "pi/ppi/smbus.h"
#include "sb_pei/register/cpu_io_ppi.h"
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
constexpr UINT32 kData1 = 0x06;  // data 0 + 1: word transfers move data 1 and data 0
static_assert(kData1 == kData0 + 1);
constexpr UINT32 kBlockData = 0x07;
constexpr UINT32 kSemaphore = 0x08;

constexpr UINT8 kBusy = 0x01;  // bit 0 of host status and of slave status
constexpr UINT8 kDeviceError = 0x04;
constexpr UINT8 kCollision = 0x08;
constexpr UINT8 kCompletionBits = 0x0E;    // finished, device error, collision
constexpr UINT8 kClearHostStatus = 0x1F;   // write-one-to-clear bits 0-4
constexpr UINT8 kClearSlaveStatus = 0x3F;  // write-one-to-clear bits 0-5
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

// One controller. `Ppi` comes first, so the `This` a consumer passes back is the record. The
// installed records fill only `Ppi` and `IoBase`; a call works on a copy on its stack that
// carries the call's services table. The register routine members keep the record's layout;
// the code calls the two routines directly.
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

// The two register routines stay out of line: a call passes the record's two words and the
// offset, where the PPI call inlined would push five.
__attribute__((noinline)) UINT8 SmbusReadReg(const SMBUS_CONTROLLER *Controller, UINT32 Offset) {
  return CpuIoRead8(ServicesOf(Controller), Controller->IoBase + Offset);
}

__attribute__((noinline)) void SmbusWriteReg(const SMBUS_CONTROLLER *Controller, UINT32 Offset, UINT8 Value) {
  CpuIoWrite8(ServicesOf(Controller), Controller->IoBase + Offset, Value);
}

// Two reads of port 0xED.
void IoDelay(const SMBUS_CONTROLLER *Controller) {
  for (int I = 0; I < 2; ++I) CpuIoRead8(ServicesOf(Controller), kIoDelayPort);
}

// Takes the host semaphore; gives our claim up whenever the other agent claims beside us.
bool TakeSemaphore(const SMBUS_CONTROLLER *C) {
  for (UINT32 Poll = 0; Poll < kSemaphorePolls; ++Poll) {
    const UINT8 Value = SmbusReadReg(C, kSemaphore);
    const bool Other = (Value & kSemaphoreOther) != 0;
    const bool Ours = (Value & kSemaphoreOurs) != 0;
    if (!Other && Ours) return true;
    if (Other && !Ours) {
      IoDelay(C);
    } else {
      SmbusWriteReg(C, kSemaphore, Value | (Ours ? kSemaphoreRelease : kSemaphoreOurs));
    }
  }
  return false;
}

// Waits for bit 0 (busy) of a status register to clear: up to 3 passes of 101 polls, each
// poll clearing the register first, and an abort after each pass that ends busy.
EFI_STATUS WaitIdle(const SMBUS_CONTROLLER *C, UINT32 Status, UINT8 Clear, UINT32 AbortRegister) {
  for (UINT32 Pass = 0; Pass < kIdlePasses; ++Pass) {
    for (UINT32 Poll = 0; Poll < kIdlePolls; ++Poll) {
      SmbusWriteReg(C, Status, Clear);
      IoDelay(C);
      if ((SmbusReadReg(C, Status) & kBusy) == 0) return EFI_SUCCESS;
    }
    SmbusWriteReg(C, AbortRegister, kAbort);
  }
  return EFI_TIMEOUT;
}

// What each operation puts on the bus, one byte per operation 0-9: the protocol code in bits
// 2-4 as host control takes it, and flags. Data bytes are moved from data 1 down to data 0:
// preloaded from the buffer by writes, read back into it by reads.
constexpr UINT8 kOpWrite = 0x01;           // direction bit 0 of the address byte is 0
constexpr UINT8 kOpCommandFromBuffer = 0x02;  // the command byte is Buffer[0] (send byte)
constexpr UINT8 kOpProtocolMask = 0x1C;
constexpr UINT8 kOpDataShift = 5;          // bits 5-6: data bytes, 0-2
constexpr UINT8 kOpLengthRule = 0x80;      // *Length at least the data bytes, set to them

constexpr UINT8 Op(UINT8 Protocol, UINT8 Flags, UINT8 DataBytes) {
  return static_cast<UINT8>(Protocol | Flags | DataBytes << kOpDataShift);
}

constexpr UINT8 kOperations[] = {
    Op(kProtocolQuick, 0, 0),                                      // quick read
    Op(kProtocolQuick, kOpWrite, 0),                               // quick write
    Op(kProtocolByte, kOpLengthRule, 1),                           // receive byte
    Op(kProtocolByte, kOpWrite | kOpCommandFromBuffer, 1),         // send byte: no Length rule
    Op(kProtocolByteData, kOpLengthRule, 1),                       // read byte
    Op(kProtocolByteData, kOpWrite | kOpLengthRule, 1),            // write byte
    Op(kProtocolWordData, kOpLengthRule, 2),                       // read word
    Op(kProtocolWordData, kOpWrite | kOpLengthRule, 2),            // write word
    Op(kProtocolBlock, 0, 0),                                      // read block
    Op(kProtocolBlock, kOpWrite, 0),                               // write block
};
static_assert(sizeof(kOperations) == EfiSmbusWriteBlock + 1);

constexpr bool IsBlock(UINT8 Info) { return (Info & kOpProtocolMask) == kProtocolBlock; }
constexpr UINT32 DataBytes(UINT8 Info) { return Info >> kOpDataShift & 3; }

// Checks the call against its operation's rules. A rule "at least N, set to N" leaves N in
// `*Length` whatever the outcome.
EFI_STATUS CheckOperation(EFI_SMBUS_OPERATION Operation, UINT8 Info, BOOLEAN PecCheck, UINTN *Length) {
  if (Operation == EfiSmbusBWBRProcessCall) return EFI_UNSUPPORTED;
  if (static_cast<UINT32>(Operation) > EfiSmbusWriteBlock) return EFI_INVALID_PARAMETER;
  if (Operation == EfiSmbusQuickRead && PecCheck) return EFI_UNSUPPORTED;
  if (IsBlock(Info)) {
    return (*Length >= 1 && *Length <= kMaxBlock) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
  }
  if (Info & kOpLengthRule) {
    const UINTN N = DataBytes(Info);
    const bool TooSmall = *Length < N;
    *Length = N;
    if (TooSmall) return EFI_BUFFER_TOO_SMALL;
  }
  return EFI_SUCCESS;
}

// Loads the data registers before the start: data bytes from the buffer for writes, the
// count (and for writes the bytes) for blocks.
void Preload(const SMBUS_CONTROLLER *C, UINT8 Info, const UINTN *Length, const UINT8 *Buffer) {
  if (IsBlock(Info)) {
    SmbusWriteReg(C, kData0, static_cast<UINT8>(*Length));
    if (Info & kOpWrite) {
      for (UINTN I = 0; I < *Length; ++I) SmbusWriteReg(C, kBlockData, Buffer[I]);
    }
    return;
  }
  if ((Info & kOpWrite) == 0) return;
  for (UINT32 I = DataBytes(Info); I-- > 0;) SmbusWriteReg(C, kData0 + I, Buffer[I]);
}

// Reads the results of a successful transaction back.
EFI_STATUS ReadBack(const SMBUS_CONTROLLER *C, UINT8 Info, UINTN *Length, UINT8 *Buffer) {
  if (Info & kOpWrite) return EFI_SUCCESS;
  if (!IsBlock(Info)) {
    for (UINT32 I = DataBytes(Info); I-- > 0;) Buffer[I] = SmbusReadReg(C, kData0 + I);
    return EFI_SUCCESS;
  }
  SmbusReadReg(C, kHostControl);  // resets the block data index
  const UINTN Count = SmbusReadReg(C, kData0);
  if (Count > *Length) {
    *Length = Count;
    return EFI_BUFFER_TOO_SMALL;
  }
  for (UINTN I = 0; I < Count; ++I) Buffer[I] = SmbusReadReg(C, kBlockData);
  *Length = Count;
  return EFI_SUCCESS;
}

// Up to three attempts; collisions are retried, a device error is final.
EFI_STATUS RunTransaction(const SMBUS_CONTROLLER *C, UINT8 Address, UINT8 Command, UINT8 Info, UINTN *Length,
                          UINT8 *Buffer) {
  const UINT8 Protocol = Info & kOpProtocolMask;
  for (UINT32 Attempt = 1;; ++Attempt) {
    SmbusWriteReg(C, kHostStatus, kClearHostStatus);
    SmbusWriteReg(C, kSlaveAddress, Address);
    SmbusWriteReg(C, kHostCommand, Command);
    SmbusWriteReg(C, kHostControl, Protocol);
    SmbusReadReg(C, kHostControl);  // resets the block data index
    Preload(C, Info, Length, Buffer);
    SmbusWriteReg(C, kHostControl, Protocol | kStart);

    UINT8 Status = 0;
    for (UINT32 Poll = 0; Poll < kCompletionPolls; ++Poll) {
      Status = SmbusReadReg(C, kHostStatus);
      if (Status & kCompletionBits) break;
      IoDelay(C);
    }
    // A transaction that never finished has no result to read back.
    if ((Status & kCompletionBits) == 0) return EFI_TIMEOUT;
    if (Status & kDeviceError) return EFI_DEVICE_ERROR;
    if ((Status & kCollision) == 0) return ReadBack(C, Info, Length, Buffer);
    SmbusWriteReg(C, kHostStatus, kCollision);
    if (Attempt == kAttempts) return EFI_DEVICE_ERROR;
  }
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
  const SMBUS_CONTROLLER *C = &Controller;
  // No controller decodes at I/O 0 (the DMA controller does): an instance whose base the
  // platform never set touches nothing.
  if (C->IoBase == 0) return EFI_DEVICE_ERROR;

  if (!TakeSemaphore(C)) return EFI_TIMEOUT;

  // From here on the controller is ours: every way out clears it and gives it back.
  UINT8 *Bytes = static_cast<UINT8 *>(Buffer);
  const UINT8 Info = static_cast<UINT32>(Operation) <= EfiSmbusWriteBlock ? kOperations[Operation] : 0;
  EFI_STATUS Status = WaitIdle(C, kHostStatus, kClearHostStatus, kHostControl);
  if (Status == EFI_SUCCESS) Status = WaitIdle(C, kSlaveStatus, kClearSlaveStatus, kSlaveStatus);
  if (Status == EFI_SUCCESS) Status = CheckOperation(Operation, Info, PecCheck, Length);
  if (Status == EFI_SUCCESS) {
    // The device address, shifted, with bit 0 set for a read.
    const UINT8 Address = static_cast<UINT8>(static_cast<UINT8>(SlaveAddress.SmbusDeviceAddress) << 1 |
                                             ((Info & kOpWrite) ? 0 : 1));
    const UINT8 CommandByte = (Info & kOpCommandFromBuffer) ? Bytes[0] : static_cast<UINT8>(Command);
    Status = RunTransaction(C, Address, CommandByte, Info, Length, Bytes);
  }
  // Clear host status and give the semaphore back.
  SmbusWriteReg(C, kHostStatus, kClearHostStatus);
  SmbusWriteReg(C, kSemaphore, SmbusReadReg(C, kSemaphore) | kSemaphoreRelease);
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

  EFI_PEI_PPI_DESCRIPTOR *Descriptors = nullptr;
  Status =
      Services->AllocatePool(PeiServices, 2 * sizeof(EFI_PEI_PPI_DESCRIPTOR), reinterpret_cast<VOID **>(&Descriptors));
  if (EFI_ERROR(Status) || Descriptors == nullptr) return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;

  // Controller 0 on SmbusBase0, then controller 1 on SmbusBase1, whose descriptor ends the list.
  // The bases are copied once, here.
  SMBUS_CONTROLLER *Record = Controllers;
  EFI_PEI_PPI_DESCRIPTOR *Descriptor = Descriptors;
  for (UINT32 Flags = EFI_PEI_PPI_DESCRIPTOR_PPI;; Flags |= EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) {
    Record->Ppi.Execute = SmbusExecute;
    Record->Ppi.ArpDevice = SmbusArpDevice;
    Record->Ppi.GetArpMap = SmbusGetArpMap;
    Record->Ppi.SetNotify = SmbusSetNotify;
    Record->IoBase = (Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) ? Config->SmbusBase1 : Config->SmbusBase0;
    Descriptor->Flags = Flags;
    Descriptor->Guid = const_cast<EFI_GUID *>(&gEfiPeiSmbusPpiGuid);
    Descriptor->Ppi = &Record->Ppi;
    if (Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) break;
    ++Record;
    ++Descriptor;
  }
  return Services->InstallPpi(PeiServices, Descriptors);
}

}  // namespace sbpei
