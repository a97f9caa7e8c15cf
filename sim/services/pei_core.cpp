#include "sim/services/pei_core.h"

#include <cstring>
#include <fmt/format.h>

#include "sb_pei/sb_pei.h"
#include "sim/machine/arena.h"
#include "sim/services/guid_names.h"
#include "sim/image/image_cpu.h"

namespace sim {

struct PeiCore::Holder {
  const EFI_PEI_SERVICES *table;  // what a PEIM's PeiServices points at
  PeiCore *core;
};

struct PeiCore::CpuIoHolder {
  EFI_PEI_CPU_IO_PPI ppi;
  PeiCore *core;
};

const char *service_name(PeiService s) {
  switch (s) {
    case PeiService::InstallPpi: return "InstallPpi";
    case PeiService::ReInstallPpi: return "ReInstallPpi";
    case PeiService::LocatePpi: return "LocatePpi";
    case PeiService::NotifyPpi: return "NotifyPpi";
    case PeiService::GetBootMode: return "GetBootMode";
    case PeiService::SetBootMode: return "SetBootMode";
    case PeiService::GetHobList: return "GetHobList";
    case PeiService::CreateHob: return "CreateHob";
    case PeiService::AllocatePool: return "AllocatePool";
    case PeiService::SetMem: return "SetMem";
    default: return "Other";
  }
}

namespace {

constexpr const char *kViaCpuIo = "CpuIo";
constexpr UINT16 kHobAlign = 8;
constexpr std::uint8_t kFreshHobFill = 0xAF;

// ---- PEI services trampolines ----------------------------------------------------------------

EFI_STATUS EFIAPI InstallPpiService(const EFI_PEI_SERVICES **s, const EFI_PEI_PPI_DESCRIPTOR *list) {
  PeiCore &core = PeiCore::from(s);
  bool injected = false;
  EFI_STATUS st = core.enter(PeiService::InstallPpi,
                             list != nullptr && list->Guid != nullptr ? guid_name(*list->Guid) : "(null)", &injected);
  if (!injected) st = core.do_install_ppi(list);
  core.set_last_status(st);
  return st;
}

EFI_STATUS EFIAPI LocatePpiService(const EFI_PEI_SERVICES **s, const EFI_GUID *guid, UINTN instance,
                                   EFI_PEI_PPI_DESCRIPTOR **descriptor, VOID **ppi) {
  PeiCore &core = PeiCore::from(s);
  bool injected = false;
  EFI_STATUS st = core.enter(PeiService::LocatePpi,
                             fmt::format("{} instance {}{}", guid != nullptr ? guid_name(*guid) : "(null)", instance,
                                         descriptor != nullptr ? " with descriptor" : ""),
                             &injected);
  if (!injected) st = core.do_locate_ppi(guid, instance, descriptor, ppi);
  core.set_last_status(st);
  return st;
}

EFI_STATUS EFIAPI GetBootModeService(const EFI_PEI_SERVICES **s, EFI_BOOT_MODE *mode) {
  PeiCore &core = PeiCore::from(s);
  bool injected = false;
  EFI_STATUS st = core.enter(PeiService::GetBootMode, {}, &injected);
  if (injected) return st;
  if (mode == nullptr) {
    core.set_last_status(EFI_INVALID_PARAMETER);
    return EFI_INVALID_PARAMETER;
  }
  *mode = core.boot_mode();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetBootModeService(const EFI_PEI_SERVICES **s, EFI_BOOT_MODE mode) {
  PeiCore &core = PeiCore::from(s);
  bool injected = false;
  EFI_STATUS st = core.enter(PeiService::SetBootMode, fmt::format("0x{:02X}", mode), &injected);
  if (injected) return st;
  core.set_boot_mode(mode);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetHobListService(const EFI_PEI_SERVICES **s, VOID **hob_list) {
  PeiCore &core = PeiCore::from(s);
  bool injected = false;
  EFI_STATUS st = core.enter(PeiService::GetHobList, {}, &injected);
  if (injected) return st;
  if (hob_list == nullptr) return EFI_INVALID_PARAMETER;
  *hob_list = core.hob_list();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CreateHobService(const EFI_PEI_SERVICES **s, UINT16 type, UINT16 length, VOID **hob) {
  PeiCore &core = PeiCore::from(s);
  bool injected = false;
  EFI_STATUS st = core.enter(PeiService::CreateHob, fmt::format("type {} length {}", type, length), &injected);
  if (!injected) st = core.do_create_hob(type, length, hob);
  core.set_last_status(st);
  return st;
}

EFI_STATUS EFIAPI AllocatePoolService(const EFI_PEI_SERVICES **s, UINTN size, VOID **buffer) {
  PeiCore &core = PeiCore::from(s);
  bool injected = false;
  EFI_STATUS st = core.enter(PeiService::AllocatePool, fmt::format("{} bytes", size), &injected);
  if (!injected) st = core.do_allocate_pool(size, buffer);
  core.set_last_status(st);
  return st;
}

PeiCore *g_running = nullptr;

// SetMem has no services argument and no status; only the calls are counted, by the core
// that is running a PEIM.
VOID EFIAPI SetMemService(VOID *buffer, UINTN size, UINT8 value) {
  if (PeiCore *core = RunningCore::get()) {
    bool injected = false;
    core->enter(PeiService::SetMem, fmt::format("{} bytes of 0x{:02X}", size, value), &injected);
  }
  std::memset(buffer, value, size);
}

VOID EFIAPI CopyMemService(VOID *destination, VOID *source, UINTN length) {
  if (PeiCore *core = RunningCore::get()) core->note_unexpected("CopyMem");
  std::memmove(destination, source, length);
}

// Services that our modules never call: recorded so that a test sees the call, and refused.
EFI_STATUS EFIAPI ReInstallPpiService(const EFI_PEI_SERVICES **s, const EFI_PEI_PPI_DESCRIPTOR *,
                                      const EFI_PEI_PPI_DESCRIPTOR *) {
  PeiCore::from(s).note_unexpected("ReInstallPpi");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI NotifyPpiService(const EFI_PEI_SERVICES **s, const EFI_PEI_NOTIFY_DESCRIPTOR *list) {
  return PeiCore::from(s).notify_ppi(list);
}
EFI_STATUS EFIAPI FindNextVolumeService(const EFI_PEI_SERVICES **s, UINTN, EFI_PEI_FV_HANDLE *) {
  PeiCore::from(s).note_unexpected("FfsFindNextVolume");
  return EFI_NOT_FOUND;
}
EFI_STATUS EFIAPI FindNextFileService(const EFI_PEI_SERVICES **s, EFI_FV_FILETYPE, EFI_PEI_FV_HANDLE,
                                      EFI_PEI_FILE_HANDLE *) {
  PeiCore::from(s).note_unexpected("FfsFindNextFile");
  return EFI_NOT_FOUND;
}
EFI_STATUS EFIAPI FindSectionDataService(const EFI_PEI_SERVICES **s, EFI_SECTION_TYPE, EFI_PEI_FILE_HANDLE, VOID **) {
  PeiCore::from(s).note_unexpected("FfsFindSectionData");
  return EFI_NOT_FOUND;
}
EFI_STATUS EFIAPI InstallPeiMemoryService(const EFI_PEI_SERVICES **s, EFI_PHYSICAL_ADDRESS, UINT64) {
  PeiCore::from(s).note_unexpected("InstallPeiMemory");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI AllocatePagesService(const EFI_PEI_SERVICES **s, EFI_MEMORY_TYPE, UINTN, EFI_PHYSICAL_ADDRESS *) {
  PeiCore::from(s).note_unexpected("AllocatePages");
  return EFI_OUT_OF_RESOURCES;
}
EFI_STATUS EFIAPI ReportStatusCodeService(const EFI_PEI_SERVICES **s, EFI_STATUS_CODE_TYPE, EFI_STATUS_CODE_VALUE,
                                          UINT32, const EFI_GUID *, const EFI_STATUS_CODE_DATA *) {
  PeiCore::from(s).note_unexpected("ReportStatusCode");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI ResetSystemService(const EFI_PEI_SERVICES **s) {
  PeiCore::from(s).note_unexpected("ResetSystem");
  return EFI_UNSUPPORTED;
}

// ---- CPU I/O PPI: every access goes to the machine, marked as made through the PPI ----------

unsigned width_bits(EFI_PEI_CPU_IO_PPI_WIDTH w) { return 8u << (static_cast<unsigned>(w) & 3); }

template <bool kIo, bool kWrite>
EFI_STATUS EFIAPI CpuIoAccess(const EFI_PEI_SERVICES **, const EFI_PEI_CPU_IO_PPI *This,
                              EFI_PEI_CPU_IO_PPI_WIDTH Width, UINT64 Address, UINTN Count, VOID *Buffer) {
  if (Buffer == nullptr || Width >= EfiPeiCpuIoWidthMaximum) return EFI_INVALID_PARAMETER;
  const unsigned bits = width_bits(Width);
  if (bits == 64) return EFI_INVALID_PARAMETER;  // no 64-bit bus cycles on this machine
  Machine &m = PeiCore::from(This).machine();
  const bool fifo = Width >= EfiPeiCpuIoWidthFifoUint8 && Width <= EfiPeiCpuIoWidthFifoUint64;
  const bool fill = Width >= EfiPeiCpuIoWidthFillUint8;
  auto *bytes = static_cast<std::uint8_t *>(Buffer);
  for (UINTN i = 0; i < Count; ++i) {
    const UINT64 addr = fifo ? Address : Address + i * (bits / 8);
    std::uint8_t *item = bytes + (fill ? 0 : i * (bits / 8));
    std::uint32_t v = 0;
    if constexpr (kWrite) {
      std::memcpy(&v, item, bits / 8);
      if constexpr (kIo) m.io_write(static_cast<std::uint16_t>(addr), bits, v, kViaCpuIo);
      else m.mem_write(addr, bits, v, kViaCpuIo);
    } else {
      if constexpr (kIo) v = m.io_read(static_cast<std::uint16_t>(addr), bits, kViaCpuIo);
      else v = m.mem_read(addr, bits, kViaCpuIo);
      std::memcpy(item, &v, bits / 8);
    }
  }
  return EFI_SUCCESS;
}

template <typename T, bool kIo>
T EFIAPI CpuIoRead(const EFI_PEI_SERVICES **, const EFI_PEI_CPU_IO_PPI *This, UINT64 Address) {
  Machine &m = PeiCore::from(This).machine();
  if constexpr (sizeof(T) == 8) {
    if constexpr (kIo) {
      PeiCore::from(This).note_unexpected("IoRead64");
      return ~T{0};
    } else {
      const T lo = m.mem_read(Address, 32, kViaCpuIo);
      const T hi = m.mem_read(Address + 4, 32, kViaCpuIo);
      return hi << 32 | lo;
    }
  } else {
    if constexpr (kIo) return static_cast<T>(m.io_read(static_cast<std::uint16_t>(Address), sizeof(T) * 8, kViaCpuIo));
    else return static_cast<T>(m.mem_read(Address, sizeof(T) * 8, kViaCpuIo));
  }
}

template <typename T, bool kIo>
VOID EFIAPI CpuIoWrite(const EFI_PEI_SERVICES **, const EFI_PEI_CPU_IO_PPI *This, UINT64 Address, T Data) {
  Machine &m = PeiCore::from(This).machine();
  if constexpr (sizeof(T) == 8) {
    if constexpr (kIo) {
      PeiCore::from(This).note_unexpected("IoWrite64");
    } else {
      m.mem_write(Address, 32, static_cast<std::uint32_t>(Data), kViaCpuIo);
      m.mem_write(Address + 4, 32, static_cast<std::uint32_t>(Data >> 32), kViaCpuIo);
    }
  } else {
    if constexpr (kIo) m.io_write(static_cast<std::uint16_t>(Address), sizeof(T) * 8, Data, kViaCpuIo);
    else m.mem_write(Address, sizeof(T) * 8, Data, kViaCpuIo);
  }
}

}  // namespace

// ---- PeiCore ----------------------------------------------------------------------------------

PeiCore::PeiCore(Machine &machine, EFI_BOOT_MODE boot_mode) : machine_(machine), steps_(machine.timeline()) {
  Arena &arena = Arena::instance();
  arena_mark_ = arena.mark();

  table_ = static_cast<EFI_PEI_SERVICES *>(arena.allocate(sizeof(EFI_PEI_SERVICES)));
  table_->Hdr.Signature = PEI_SERVICES_SIGNATURE;
  table_->Hdr.Revision = (1u << 16) | 70;  // PI 1.7
  table_->Hdr.HeaderSize = sizeof(EFI_PEI_SERVICES);
  table_->InstallPpi = InstallPpiService;
  table_->ReInstallPpi = ReInstallPpiService;
  table_->LocatePpi = LocatePpiService;
  table_->NotifyPpi = NotifyPpiService;
  table_->GetBootMode = GetBootModeService;
  table_->SetBootMode = SetBootModeService;
  table_->GetHobList = GetHobListService;
  table_->CreateHob = CreateHobService;
  table_->FfsFindNextVolume = FindNextVolumeService;
  table_->FfsFindNextFile = FindNextFileService;
  table_->FfsFindSectionData = FindSectionDataService;
  table_->InstallPeiMemory = InstallPeiMemoryService;
  table_->AllocatePages = AllocatePagesService;
  table_->AllocatePool = AllocatePoolService;
  table_->CopyMem = CopyMemService;
  table_->SetMem = SetMemService;
  table_->ReportStatusCode = ReportStatusCodeService;
  table_->ResetSystem = ResetSystemService;

  cpu_io_ = static_cast<CpuIoHolder *>(arena.allocate(sizeof(CpuIoHolder)));
  cpu_io_->core = this;
  EFI_PEI_CPU_IO_PPI &io = cpu_io_->ppi;
  io.Mem = {CpuIoAccess<false, false>, CpuIoAccess<false, true>};
  io.Io = {CpuIoAccess<true, false>, CpuIoAccess<true, true>};
  io.IoRead8 = CpuIoRead<UINT8, true>;
  io.IoRead16 = CpuIoRead<UINT16, true>;
  io.IoRead32 = CpuIoRead<UINT32, true>;
  io.IoRead64 = CpuIoRead<UINT64, true>;
  io.IoWrite8 = CpuIoWrite<UINT8, true>;
  io.IoWrite16 = CpuIoWrite<UINT16, true>;
  io.IoWrite32 = CpuIoWrite<UINT32, true>;
  io.IoWrite64 = CpuIoWrite<UINT64, true>;
  io.MemRead8 = CpuIoRead<UINT8, false>;
  io.MemRead16 = CpuIoRead<UINT16, false>;
  io.MemRead32 = CpuIoRead<UINT32, false>;
  io.MemRead64 = CpuIoRead<UINT64, false>;
  io.MemWrite8 = CpuIoWrite<UINT8, false>;
  io.MemWrite16 = CpuIoWrite<UINT16, false>;
  io.MemWrite32 = CpuIoWrite<UINT32, false>;
  io.MemWrite64 = CpuIoWrite<UINT64, false>;
  table_->CpuIo = &io;

  holder_ = static_cast<Holder *>(arena.allocate(sizeof(Holder)));
  holder_->table = table_;
  holder_->core = this;
  services_ptr_ = &holder_->table;

  // PEI memory: the handoff table at the bottom, HOBs (pool included) growing upwards.
  memory_ = static_cast<std::uint8_t *>(arena.allocate(kPeiMemorySize, 8));
  phit_ = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(memory_);
  phit_->Header.HobType = EFI_HOB_TYPE_HANDOFF;
  phit_->Header.HobLength = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  phit_->Version = EFI_HOB_HANDOFF_TABLE_VERSION;
  phit_->BootMode = boot_mode;
  const auto bottom = reinterpret_cast<std::uintptr_t>(memory_);
  phit_->EfiMemoryBottom = bottom;
  phit_->EfiMemoryTop = bottom + kPeiMemorySize;
  phit_->EfiFreeMemoryTop = bottom + kPeiMemorySize;
  phit_->EfiEndOfHobList = bottom + sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  auto *end = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(phit_->EfiEndOfHobList);
  end->HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end->HobLength = sizeof(EFI_HOB_GENERIC_HEADER);
  phit_->EfiFreeMemoryBottom = phit_->EfiEndOfHobList + sizeof(EFI_HOB_GENERIC_HEADER);

  // What a module may read of all this, and nothing it may write.
  MemoryCheck &owned = machine_.memory();
  const auto entered = [&](const void *p, std::size_t bytes, const char *what) {
    owned.add(reinterpret_cast<std::uintptr_t>(p), bytes, MemoryCheck::Use::ReadOnly, what);
  };
  entered(table_, sizeof(EFI_PEI_SERVICES), "the PEI services table");
  entered(cpu_io_, sizeof(CpuIoHolder), "the CPU I/O PPI");
  entered(holder_, sizeof(Holder), "the PEI services pointer");
  entered(phit_, sizeof(EFI_HOB_HANDOFF_INFO_TABLE), "the HOB handoff table");
  entered(end, sizeof(EFI_HOB_GENERIC_HEADER), "the end of the HOB list");

  machine_.map_ram(Arena::kBase, Arena::kSize, arena.base());
}

PeiCore::~PeiCore() {
  // Everything from the mark on goes back (what the modules were handed after it too).
  machine_.memory().forget(Arena::kBase + arena_mark_, Arena::kBase + Arena::kAllocatableSize);
  Arena::instance().rewind(arena_mark_);
}

PeiCore &PeiCore::from(const EFI_PEI_SERVICES **services) {
  return *reinterpret_cast<const Holder *>(services)->core;
}

PeiCore &PeiCore::from(const EFI_PEI_CPU_IO_PPI *cpu_io) {
  return *reinterpret_cast<const CpuIoHolder *>(cpu_io)->core;
}

RunningCore::RunningCore(PeiCore &core) : previous_(g_running) { g_running = &core; }
RunningCore::~RunningCore() { g_running = previous_; }
PeiCore *RunningCore::get() { return g_running; }

EFI_STATUS PeiCore::run(EFI_PEIM_ENTRY_POINT2 entry) {
  return run([this, entry] { return entry(nullptr, services_ptr_); });
}

EFI_STATUS PeiCore::run(const std::function<EFI_STATUS()> &entry) {
  steps_.begin();
  EFI_STATUS status = EFI_ABORTED;
  try {
    status = call([&entry](const EFI_PEI_SERVICES **) { return entry(); });
  } catch (const ResetSignal &r) {
    reset_ = r;
  }
  steps_.end();
  return status;
}

// ---- EntrySteps -------------------------------------------------------------------------------

void EntrySteps::begin() {
  timeline_.begin("SbPeiEntry");
  timeline_.begin("defaults");
  step_ = Step::Defaults;
}

void EntrySteps::end() {
  timeline_.end("SbPeiEntry");
  step_ = Step::None;
}

void EntrySteps::next(const char *from, const char *to, Step step) {
  timeline_.end(from);
  timeline_.begin(to);
  step_ = step;
}

void EntrySteps::on_service(PeiService s, const std::string &detail) {
  if (s == PeiService::InstallPpi) timeline_.instant("install " + detail);
  switch (step_) {
    case Step::Defaults:
      if (s == PeiService::InstallPpi && detail == guid_name(gSbPrivatePpiGuid)) {
        next("defaults", "boot-mode detection", Step::BootModeDetection);
        boot_mode_reads_ = 0;
      }
      break;
    case Step::BootModeDetection:
      if (s == PeiService::GetBootMode && ++boot_mode_reads_ == 2)
        next("boot-mode detection", "early programming", Step::EarlyProgramming);
      break;
    case Step::EarlyProgramming:
      if (s == PeiService::InstallPpi || s == PeiService::LocatePpi)
        next("early programming", "service PPIs", Step::ServicePpis);
      break;
    default:
      break;
  }
}

void PeiCore::fail_call(PeiService service, unsigned nth, EFI_STATUS status) {
  faults_.push_back({service, nth, status});
}

EFI_STATUS PeiCore::enter(PeiService s, std::string detail, bool *injected) {
  const unsigned n = ++counts_[static_cast<int>(s)];
  steps_.on_service(s, detail);
  calls_.push_back({s, EFI_SUCCESS, std::move(detail), machine_.trace().size()});
  *injected = false;
  for (const Fault &f : faults_) {
    if (f.service == s && f.nth == n) {
      *injected = true;
      calls_.back().status = f.status;
      return f.status;
    }
  }
  return EFI_SUCCESS;
}

void PeiCore::note_unexpected(const char *what) { unexpected_.emplace_back(what); }

EFI_STATUS PeiCore::do_install_ppi(const EFI_PEI_PPI_DESCRIPTOR *list) {
  if (list == nullptr) return EFI_INVALID_PARAMETER;
  // Check the whole list first, so that a bad entry installs nothing.
  std::size_t n = 0;
  for (const EFI_PEI_PPI_DESCRIPTOR *d = list;; ++d) {
    if ((d->Flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0 || d->Guid == nullptr) return EFI_INVALID_PARAMETER;
    ++n;
    if (d->Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) break;
  }
  if (ppis_.size() + n > kMaxPpis) return EFI_OUT_OF_RESOURCES;
  for (std::size_t i = 0; i < n; ++i) ppis_.push_back(list + i);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < notifies_.size(); ++k) {
      if (!GuidsEqual(notifies_[k].first, *list[i].Guid)) continue;
      const Notify fire = notifies_[k].second;  // a notification may ask for more
      call([&](const EFI_PEI_SERVICES **) { fire(list[i]); });
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS PeiCore::notify_ppi(const EFI_PEI_NOTIFY_DESCRIPTOR *list, const std::function<Notify(std::size_t)> &fire_for) {
  bool injected = false;
  const EFI_STATUS st =
      enter(PeiService::NotifyPpi, list != nullptr && list->Guid != nullptr ? guid_name(*list->Guid) : "(null)", &injected);
  if (injected) return st;
  // Check the whole list first, so that a bad entry enters nothing.
  std::size_t n = 0;
  for (const EFI_PEI_NOTIFY_DESCRIPTOR *d = list; d != nullptr; ++d) {
    if ((d->Flags & EFI_PEI_PPI_DESCRIPTOR_NOTIFY_TYPES) == 0 || d->Guid == nullptr || d->Notify == nullptr) break;
    ++n;
    if (d->Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) break;
  }
  if (n == 0 || (list[n - 1].Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) == 0) {
    set_last_status(EFI_INVALID_PARAMETER);
    return EFI_INVALID_PARAMETER;
  }
  for (std::size_t i = 0; i < n; ++i) {
    auto *d = const_cast<EFI_PEI_NOTIFY_DESCRIPTOR *>(list + i);
    add_notify(*d->Guid, fire_for ? fire_for(i) : [this, d](const EFI_PEI_PPI_DESCRIPTOR &installed) {
      call_module(d->Notify, const_cast<EFI_PEI_SERVICES **>(services_ptr_), d, installed.Ppi);
    });
  }
  return EFI_SUCCESS;
}

void PeiCore::add_notify(const EFI_GUID &guid, Notify fire) {
  notifies_.emplace_back(guid, fire);
  for (const EFI_PEI_PPI_DESCRIPTOR *d : std::vector(ppis_)) {
    if (GuidsEqual(*d->Guid, guid)) call([&](const EFI_PEI_SERVICES **) { fire(*d); });
  }
}

void PeiCore::move_hob_list() {
  auto *moved = static_cast<std::uint8_t *>(Arena::instance().allocate(kPeiMemorySize, 8));
  std::memcpy(moved, memory_, kPeiMemorySize);
  const auto old_first = reinterpret_cast<std::uintptr_t>(memory_), offset = reinterpret_cast<std::uintptr_t>(moved) - old_first;
  const auto in_old = [&](const void *p) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= old_first && a < old_first + kPeiMemorySize;
  };
  const auto move = [&](auto *p) { return in_old(p) ? reinterpret_cast<decltype(p)>(reinterpret_cast<std::uintptr_t>(p) + offset) : p; };
  // As a PEI core does: the descriptor, then the GUID and interface it points at, each where it
  // lay in the old memory (a descriptor in constant data is never written).
  for (const EFI_PEI_PPI_DESCRIPTOR *&d : ppis_) {
    d = move(d);
    auto *writable = const_cast<EFI_PEI_PPI_DESCRIPTOR *>(d);
    if (in_old(d->Guid)) writable->Guid = move(d->Guid);
    if (in_old(d->Ppi)) writable->Ppi = move(d->Ppi);
  }
  phit_ = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(moved);
  for (EFI_PHYSICAL_ADDRESS *a : {&phit_->EfiMemoryTop, &phit_->EfiMemoryBottom, &phit_->EfiFreeMemoryTop,
                                  &phit_->EfiFreeMemoryBottom, &phit_->EfiEndOfHobList})
    *a += offset;
  std::memset(memory_, 0xAF, kPeiMemorySize);
  machine_.memory().move(old_first, kPeiMemorySize, reinterpret_cast<std::uintptr_t>(moved),
                         "temporary RAM the PEI core gave up at the switch to memory");
  memory_ = moved;
}

EFI_STATUS PeiCore::do_locate_ppi(const EFI_GUID *guid, UINTN instance, EFI_PEI_PPI_DESCRIPTOR **descriptor,
                                  VOID **ppi) {
  if (guid == nullptr) return EFI_INVALID_PARAMETER;
  UINTN seen = 0;
  for (const EFI_PEI_PPI_DESCRIPTOR *d : ppis_) {
    if (!GuidsEqual(*d->Guid, *guid)) continue;
    if (seen++ != instance) continue;
    if (descriptor != nullptr) *descriptor = const_cast<EFI_PEI_PPI_DESCRIPTOR *>(d);
    if (ppi != nullptr) *ppi = d->Ppi;
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS PeiCore::do_create_hob(UINT16 type, UINT16 length, VOID **hob) {
  if (hob == nullptr || length < sizeof(EFI_HOB_GENERIC_HEADER)) return EFI_INVALID_PARAMETER;
  const std::uint64_t aligned = (static_cast<std::uint64_t>(length) + kHobAlign - 1) & ~std::uint64_t{kHobAlign - 1};
  if (aligned > 0xFFFF) return EFI_OUT_OF_RESOURCES;
  const std::uint64_t at = phit_->EfiEndOfHobList;
  if (at + aligned + sizeof(EFI_HOB_GENERIC_HEADER) > phit_->EfiFreeMemoryTop) return EFI_OUT_OF_RESOURCES;
  auto *h = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(at);
  std::memset(h, kFreshHobFill, aligned);  // not zeroed: a debug core's fill
  h->HobType = type;
  h->HobLength = static_cast<UINT16>(aligned);
  phit_->EfiEndOfHobList = at + aligned;
  auto *end = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(phit_->EfiEndOfHobList);
  end->HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end->HobLength = sizeof(EFI_HOB_GENERIC_HEADER);
  end->Reserved = 0;
  phit_->EfiFreeMemoryBottom = phit_->EfiEndOfHobList + sizeof(EFI_HOB_GENERIC_HEADER);
  // The header is the core's; the rest is the caller's, as long as asked, then poison up to the
  // next HOB.
  MemoryCheck &owned = machine_.memory();
  owned.add(at, sizeof(EFI_HOB_GENERIC_HEADER), MemoryCheck::Use::ReadOnly, "a HOB header");
  owned.add_buffer(at + sizeof(EFI_HOB_GENERIC_HEADER), length - sizeof(EFI_HOB_GENERIC_HEADER), 0, aligned - length,
                   fmt::format("{}-byte HOB of type 0x{:X}", length, type), "CreateHob");
  owned.add(phit_->EfiEndOfHobList, sizeof(EFI_HOB_GENERIC_HEADER), MemoryCheck::Use::ReadOnly,
            "the end of the HOB list");
  *hob = h;
  return EFI_SUCCESS;
}

EFI_STATUS PeiCore::do_allocate_pool(UINTN size, VOID **buffer) {
  if (buffer == nullptr) return EFI_INVALID_PARAMETER;
  // Pool memory is a memory pool HOB; its header precedes the buffer, with a poisoned zone on
  // either side of the buffer.
  constexpr std::size_t kPoolPoison = 8;
  if (size > 0xFFFF - sizeof(EFI_HOB_MEMORY_POOL) - 2 * kPoolPoison) return EFI_OUT_OF_RESOURCES;
  VOID *hob = nullptr;
  const std::size_t length = sizeof(EFI_HOB_MEMORY_POOL) + kPoolPoison + size + kPoolPoison;
  const EFI_STATUS st = do_create_hob(EFI_HOB_TYPE_MEMORY_POOL, static_cast<UINT16>(length), &hob);
  if (EFI_ERROR(st)) return st;
  auto *p = reinterpret_cast<std::uint8_t *>(static_cast<EFI_HOB_MEMORY_POOL *>(hob) + 1) + kPoolPoison;
  const std::uint64_t hob_end = reinterpret_cast<std::uintptr_t>(hob) + static_cast<EFI_HOB_GENERIC_HEADER *>(hob)->HobLength;
  machine_.memory().add_buffer(reinterpret_cast<std::uintptr_t>(p), size, kPoolPoison,
                               hob_end - reinterpret_cast<std::uintptr_t>(p) - size,
                               fmt::format("{}-byte pool buffer", size), "AllocatePool");
  *buffer = p;
  return EFI_SUCCESS;
}

void PeiCore::install_ppi(const EFI_GUID &guid, void *interface) {
  auto *g = static_cast<EFI_GUID *>(Arena::instance().allocate(sizeof(EFI_GUID)));
  *g = guid;
  auto *d = static_cast<EFI_PEI_PPI_DESCRIPTOR *>(Arena::instance().allocate(sizeof(EFI_PEI_PPI_DESCRIPTOR)));
  d->Flags = EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST;
  d->Guid = g;
  d->Ppi = interface;
  machine_.memory().add(reinterpret_cast<std::uintptr_t>(g), sizeof *g, MemoryCheck::Use::ReadOnly,
                        fmt::format("the GUID of another module's {}", guid_name(guid)));
  machine_.memory().add(reinterpret_cast<std::uintptr_t>(d), sizeof *d, MemoryCheck::Use::ReadOnly,
                        fmt::format("another module's {} descriptor", guid_name(guid)));
  do_install_ppi(d);
}

void *PeiCore::locate(const EFI_GUID &guid, unsigned instance) const {
  unsigned seen = 0;
  for (const EFI_PEI_PPI_DESCRIPTOR *d : ppis_) {
    if (GuidsEqual(*d->Guid, guid) && seen++ == instance) return d->Ppi;
  }
  return nullptr;
}

EFI_HOB_GUID_TYPE *PeiCore::find_guid_hob(const EFI_GUID &name) const {
  auto *h = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(phit_);
  while (h->HobType != EFI_HOB_TYPE_END_OF_HOB_LIST) {
    if (h->HobType == EFI_HOB_TYPE_GUID_EXTENSION) {
      auto *g = reinterpret_cast<EFI_HOB_GUID_TYPE *>(h);
      if (GuidsEqual(g->Name, name)) return g;
    }
    h = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<std::uint8_t *>(h) + h->HobLength);
  }
  return nullptr;
}


}  // namespace sim
