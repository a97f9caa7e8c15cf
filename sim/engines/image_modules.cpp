// The image engine's modules: SbPei.efi (IA32) and CmosErrorPrompt.efi (X64) in the emulator.
//
// SbPei is a 32-bit module on a 64-bit host, so what it is handed is built again with the
// IA32 layout in RAM below 4 GiB: the PEI services table, the CPU I/O PPI and the PPIs of
// other modules that it locates, every function member a trap into the C++ stand-in. What it
// installs is entered in the PEI core's database as it is, through host descriptors that
// point at its own GUIDs and interfaces.
//
// CmosErrorPrompt is an X64 module: the DXE stand-in's tables already have its layout, and a
// call through one of their members reaches host code, which the emulator has not mapped;
// the engine makes that call in C++ with the image's arguments.
#include "sim/engines/image_modules.h"

#include <cstring>
#include <filesystem>
#include <fmt/format.h>
#include <map>
#include <optional>
#include <stdexcept>

#include "pi/ppi/reset.h"
#include "pi/ppi/stall.h"
#include "sb_pei/sb_pei.h"
#include "sim/machine/arena.h"
#include "sim/services/guid_names.h"
#include "sim/image/image_cpu.h"

namespace sim {

std::uint32_t status32(EFI_STATUS s) {
  return EFI_ERROR(s) ? 0x80000000u | static_cast<std::uint32_t>(s & 0x7FFFFFFF) : static_cast<std::uint32_t>(s);
}
EFI_STATUS status64(std::uint64_t s32) {
  const auto s = static_cast<std::uint32_t>(s32);
  return (s & 0x80000000u) != 0 ? EncodeError(s & 0x7FFFFFFF) : s;
}

// ---- Ia32SbPeiCalls ---------------------------------------------------------------------------

EFI_STATUS Ia32SbPeiCalls::smbus_execute(unsigned instance, EFI_SMBUS_DEVICE_ADDRESS address, UINTN command,
                                         EFI_SMBUS_OPERATION operation, BOOLEAN pec, UINTN *length, void *buffer,
                                         std::size_t buffer_size) {
  const std::uint32_t ppi = locate_(gEfiPeiSmbusPpiGuid, instance);
  if (ppi == 0) return EFI_NOT_FOUND;
  if (buffer_size > kScratchSize - 8) throw std::invalid_argument("SMBus buffer larger than the scratch area");
  const std::uint32_t length32 = length != nullptr ? scratch_ : 0;
  const std::uint32_t buffer32 = buffer != nullptr ? scratch_ + 8 : 0;
  if (length != nullptr) cpu_.write32(length32, static_cast<std::uint32_t>(*length));
  if (buffer != nullptr) std::memcpy(cpu_.host(buffer32, buffer_size), buffer, buffer_size);
  const EFI_STATUS st = status64(around_([&] {
    return cpu_.call(cpu_.read32(ppi), {services_, ppi, address.SmbusDeviceAddress, command,
                                        static_cast<std::uint64_t>(operation), pec, length32, buffer32});
  }));
  if (length != nullptr) *length = cpu_.read32(length32);
  if (buffer != nullptr) std::memcpy(buffer, cpu_.host(buffer32, buffer_size), buffer_size);
  return st;
}

EFI_STATUS Ia32SbPeiCalls::reset_system() {
  const std::uint32_t ppi = locate_(gEfiPeiResetPpiGuid, 0);
  if (ppi == 0) return EFI_NOT_FOUND;
  return status64(around_([&] { return cpu_.call(cpu_.read32(ppi), {services_}); }));
}

EFI_STATUS Ia32SbPeiCalls::stall(UINTN microseconds) {
  const std::uint32_t ppi = locate_(gEfiPeiStallPpiGuid, 0);
  if (ppi == 0) return EFI_NOT_FOUND;
  return status64(around_([&] {
    return cpu_.call(cpu_.read32(ppi + 4), {services_, ppi, static_cast<std::uint32_t>(microseconds)});
  }));
}

EFI_BOOT_MODE Ia32SbPeiCalls::get_sleep_boot_mode() {
  const std::uint32_t ppi = locate_(gSbPrivatePpiGuid, 0);
  if (ppi == 0) return 0;
  return static_cast<EFI_BOOT_MODE>(around_([&] { return cpu_.call(cpu_.read32(ppi + 8), {services_}); }));
}

namespace {

// Where the images are placed: SbPei's "flash" and the driver's RAM, both below 2 GiB (the
// host's address space up there is free of the sanitizers' shadow).
constexpr std::uint64_t kSbPeiLoadAddress = 0x30000000;
constexpr std::uint64_t kCmosPromptLoadAddress = 0x38000000;

constexpr std::size_t kIa32DescriptorSize = 12;  // Flags, Guid, Ppi

const PeImage &cached_image(const std::string &path) {
  static std::map<std::string, PeImage> cache;
  auto it = cache.find(path);
  if (it == cache.end()) it = cache.emplace(path, PeImage::read(path)).first;
  return it->second;
}

// An address below 4 GiB (RAM, the image, a trap) as a 32-bit module holds it.
std::uint32_t addr32(const void *p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

// Index of a function-pointer member: a table of pointers keeps its order on IA32, with
// 4 bytes a member.
template <typename Table>
constexpr std::size_t member_index(std::size_t host_offset, std::size_t header = 0) {
  return (host_offset - header) / sizeof(void *);
}
#define PEI_SLOT(m) member_index<EFI_PEI_SERVICES>(offsetof(EFI_PEI_SERVICES, m), sizeof(EFI_TABLE_HEADER))
#define CPU_IO_SLOT(m) member_index<EFI_PEI_CPU_IO_PPI>(offsetof(EFI_PEI_CPU_IO_PPI, m))

constexpr const char *kPeiServiceNames[] = {
    "InstallPpi",       "ReInstallPpi",      "LocatePpi",     "NotifyPpi",       "GetBootMode",
    "SetBootMode",      "GetHobList",        "CreateHob",     "FfsFindNextVolume", "FfsFindNextFile",
    "FfsFindSectionData", "InstallPeiMemory", "AllocatePages", "AllocatePool",   "CopyMem",
    "SetMem",           "ReportStatusCode",  "ResetSystem",   "CpuIo",           "PciCfg",
    "FfsFindFileByName", "FfsGetFileInfo",   "FfsGetVolumeInfo", "RegisterForShadow", "FindSectionData3",
    "FfsGetFileInfo2",  "ResetSystem2",      "FreePages"};
constexpr std::size_t kPeiSlots = (sizeof(EFI_PEI_SERVICES) - sizeof(EFI_TABLE_HEADER)) / sizeof(void *);
static_assert(std::size(kPeiServiceNames) == kPeiSlots);

class ImageSbPei final : public SbPeiModule {
 public:
  ImageSbPei(PeiCore &core, const PeImage &image, const ImageRun &run, const std::string &name)
      : core_(core),
        cpu_(image, kSbPeiLoadAddress, name,
             {.writable_image = false, .mmio_below_4g = true, .count_instructions = run.count_instructions,
              .memory = run.check_memory ? &core.machine().memory() : nullptr}) {
    if (image.machine() != PeImage::kMachineIa32) throw std::runtime_error(name + " is not an IA32 image");
    // The length and buffer a calling module hands the SMBus PPI.
    scratch_ = allocate(Ia32SbPeiCalls::kScratchSize, MemoryCheck::Use::Writable, "a calling module's SMBus buffer");
    build_cpu_io();
    build_services();
    calls_.emplace(
        cpu_, services32_, scratch_, [this](const EFI_GUID &guid, unsigned instance) { return located(guid, instance); },
        [this](const std::function<std::uint64_t()> &call) {
          return core_.call([&](const EFI_PEI_SERVICES **) { return call(); });
        });
  }

  EFI_STATUS run_entry() override {
    return core_.run([this] { return status64(cpu_.call(cpu_.entry(), {0, services32_})); });
  }

  EFI_STATUS smbus_execute(unsigned instance, EFI_SMBUS_DEVICE_ADDRESS address, UINTN command,
                           EFI_SMBUS_OPERATION operation, BOOLEAN pec, UINTN *length, void *buffer,
                           std::size_t buffer_size) override {
    return calls_->smbus_execute(instance, address, command, operation, pec, length, buffer, buffer_size);
  }
  EFI_STATUS reset_system() override { return calls_->reset_system(); }
  EFI_STATUS stall(UINTN microseconds) override { return calls_->stall(microseconds); }
  EFI_BOOT_MODE get_sleep_boot_mode() override { return calls_->get_sleep_boot_mode(); }
  std::uint32_t platform_hook_as_seen() const override { return platform_hook_seen_; }
  std::uint32_t services_as_seen() const override { return services32_; }
  std::size_t word_size() const override { return 4; }
  std::uint64_t instructions() const override { return cpu_.instructions(); }

 private:
  const EFI_PEI_SERVICES **host_services() const { return core_.services(); }
  const EFI_PEI_SERVICES *host_table() const { return *core_.services(); }

  // RAM for what the module is handed, entered as whose it is (read-only unless said).
  std::uint32_t allocate(std::size_t bytes, MemoryCheck::Use use, const std::string &what) {
    const std::uint32_t p = addr32(Arena::instance().allocate(bytes, 8));
    core_.machine().memory().add(p, bytes, use, what);
    return p;
  }
  std::uint32_t allocate_read_only(std::size_t bytes, const std::string &what) {
    return allocate(bytes, MemoryCheck::Use::ReadOnly, what);
  }
  // The IA32 interface of an installed PPI (0 if absent), as a consumer would locate it.
  std::uint32_t located(const EFI_GUID &guid, unsigned instance = 0) {
    return addr32(core_.locate(guid, instance));
  }
  template <typename T = void>
  T *at(std::uint64_t address, std::size_t bytes = sizeof(T)) {
    return address == 0 ? nullptr : static_cast<T *>(cpu_.host(address, bytes));
  }

  // ---- the services table --------------------------------------------------------------------

  void build_services() {
    const std::uint32_t table = allocate_read_only(sizeof(EFI_TABLE_HEADER) + 4 * kPeiSlots, "the PEI services table");
    auto *hdr = at<EFI_TABLE_HEADER>(table);
    *hdr = host_table()->Hdr;
    hdr->HeaderSize = static_cast<UINT32>(sizeof(EFI_TABLE_HEADER) + 4 * kPeiSlots);
    for (std::size_t i = 0; i < kPeiSlots; ++i) {
      const char *name = kPeiServiceNames[i];
      cpu_.write32(table + sizeof(EFI_TABLE_HEADER) + 4 * i,
                   static_cast<std::uint32_t>(cpu_.trap(name, [this, name](ImageCpu &) {
                     core_.note_unexpected(name);
                     return std::uint64_t{status32(EFI_UNSUPPORTED)};
                   })));
    }
    auto set = [&](std::size_t slot, std::uint32_t value) { cpu_.write32(table + sizeof(EFI_TABLE_HEADER) + 4 * slot, value); };
    auto service = [&](std::size_t slot, ImageCpu::Handler h) {
      set(slot, static_cast<std::uint32_t>(cpu_.trap(kPeiServiceNames[slot], std::move(h))));
    };
    service(PEI_SLOT(InstallPpi), [this](ImageCpu &c) {
      return status32(host_table()->InstallPpi(host_services(), host_descriptors(c.arg(1))));
    });
    service(PEI_SLOT(LocatePpi), [this](ImageCpu &c) {
      const std::uint64_t descriptor32 = c.arg(3), ppi32 = c.arg(4);
      EFI_PEI_PPI_DESCRIPTOR *d = nullptr;
      VOID *ppi = nullptr;
      const EFI_STATUS st = host_table()->LocatePpi(host_services(), at<const EFI_GUID>(c.arg(1)), c.arg(2),
                                                    descriptor32 != 0 ? &d : nullptr, ppi32 != 0 ? &ppi : nullptr);
      if (!EFI_ERROR(st) && d != nullptr && descriptor32 != 0) c.write32(descriptor32, descriptor_seen(d));
      if (!EFI_ERROR(st) && ppi32 != 0) {
        d = d != nullptr ? d : find_descriptor(ppi);
        c.write32(ppi32, d != nullptr ? interface_seen(d) : addr32(ppi));
      }
      return std::uint64_t{status32(st)};
    });
    // The module's notification list, each entered with the core: when it fires, the module's
    // function is called in the emulator with what the module would be handed.
    service(PEI_SLOT(NotifyPpi), [this](ImageCpu &c) {
      const std::uint64_t list32 = c.arg(1);
      std::vector<EFI_PEI_NOTIFY_DESCRIPTOR> host;
      for (std::uint64_t d32 = list32; list32 != 0; d32 += kIa32DescriptorSize) {
        host.push_back({cpu_.read32(d32), at<EFI_GUID>(cpu_.read32(d32 + 4)),
                        reinterpret_cast<EFI_PEIM_NOTIFY_ENTRY_POINT>(static_cast<std::uintptr_t>(cpu_.read32(d32 + 8)))});
        if ((host.back().Flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) != 0 || host.size() >= PeiCore::kMaxPpis) break;
      }
      // The core checks the list and records the call; an entry fires with the module's services
      // pointer, its own descriptor and the IA32 form of the installed interface.
      auto *copy = static_cast<EFI_PEI_NOTIFY_DESCRIPTOR *>(Arena::instance().allocate((host.size() + 1) * sizeof host[0]));
      std::copy(host.begin(), host.end(), copy);  // the zero entry after them ends a list that never did
      return std::uint64_t{status32(core_.notify_ppi(list32 != 0 ? copy : nullptr, [this, list32](std::size_t i) {
        const auto d32 = static_cast<std::uint32_t>(list32 + kIa32DescriptorSize * i);
        return [this, d32](const EFI_PEI_PPI_DESCRIPTOR &installed) {
          const std::uint32_t interface = installed.Ppi != nullptr ? interface_seen(&installed) : 0;
          cpu_.call(cpu_.read32(d32 + 8), {services32_, d32, interface});
        };
      }))};
    });
    service(PEI_SLOT(GetBootMode), [this](ImageCpu &c) {
      return status32(host_table()->GetBootMode(host_services(), at<EFI_BOOT_MODE>(c.arg(1))));
    });
    service(PEI_SLOT(SetBootMode), [this](ImageCpu &c) {
      return status32(host_table()->SetBootMode(host_services(), static_cast<EFI_BOOT_MODE>(c.arg(1))));
    });
    service(PEI_SLOT(GetHobList), [this](ImageCpu &c) {
      return returning_pointer(c, c.arg(1), [&](VOID **list) { return host_table()->GetHobList(host_services(), list); });
    });
    service(PEI_SLOT(CreateHob), [this](ImageCpu &c) {
      return returning_pointer(c, c.arg(3), [&](VOID **hob) {
        return host_table()->CreateHob(host_services(), static_cast<UINT16>(c.arg(1)), static_cast<UINT16>(c.arg(2)), hob);
      });
    });
    service(PEI_SLOT(AllocatePool), [this](ImageCpu &c) {
      return returning_pointer(c, c.arg(2),
                               [&](VOID **buffer) { return host_table()->AllocatePool(host_services(), c.arg(1), buffer); });
    });
    service(PEI_SLOT(CopyMem), [this](ImageCpu &c) {
      const std::size_t n = c.arg(2);
      host_table()->CopyMem(at(c.arg(0), n), at(c.arg(1), n), n);
      core_.machine().memory().copied(c.arg(0), c.arg(1), n);
      return std::uint64_t{0};
    });
    service(PEI_SLOT(SetMem), [this](ImageCpu &c) {
      const std::size_t n = c.arg(1);
      host_table()->SetMem(at(c.arg(0), n), n, static_cast<UINT8>(c.arg(2)));
      core_.machine().memory().wrote(c.arg(0), n);
      return std::uint64_t{0};
    });
    set(PEI_SLOT(CpuIo), cpu_io32_);
    set(PEI_SLOT(PciCfg), 0);

    services32_ = allocate_read_only(4, "the PEI services pointer");
    cpu_.write32(services32_, table);
  }

  // A service that returns a pointer through `out32` (a VOID ** of the module; 0 is passed
  // on as a null pointer): called with a host pointer, the result written back in 32 bits.
  template <typename Service>
  static std::uint64_t returning_pointer(ImageCpu &c, std::uint64_t out32, Service service) {
    VOID *p = nullptr;
    const EFI_STATUS st = service(out32 != 0 ? &p : nullptr);
    if (!EFI_ERROR(st) && out32 != 0) c.write32(out32, addr32(p));
    return status32(st);
  }

  // The module's descriptor list entered as host descriptors (a malformed list is carried
  // over as far as its first bad entry, which the core then refuses).
  const EFI_PEI_PPI_DESCRIPTOR *host_descriptors(std::uint64_t list32) {
    if (list32 == 0) return nullptr;
    std::size_t n = 0;
    for (;;) {
      const std::uint32_t flags = cpu_.read32(list32 + kIa32DescriptorSize * n);
      ++n;
      if ((flags & EFI_PEI_PPI_DESCRIPTOR_PPI) == 0 || (flags & EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST) != 0 ||
          n > PeiCore::kMaxPpis)
        break;
    }
    auto *host = static_cast<EFI_PEI_PPI_DESCRIPTOR *>(Arena::instance().allocate(n * sizeof(EFI_PEI_PPI_DESCRIPTOR)));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t d32 = list32 + kIa32DescriptorSize * i;
      host[i].Flags = cpu_.read32(d32);
      host[i].Guid = at<EFI_GUID>(cpu_.read32(d32 + 4));
      host[i].Ppi = reinterpret_cast<void *>(static_cast<std::uintptr_t>(cpu_.read32(d32 + 8)));
      installed_[&host[i]] = static_cast<std::uint32_t>(d32);
    }
    return host;
  }
  EFI_PEI_PPI_DESCRIPTOR *find_descriptor(const void *ppi) const {
    for (const EFI_PEI_PPI_DESCRIPTOR *d : core_.ppis())
      if (d->Ppi == ppi) return const_cast<EFI_PEI_PPI_DESCRIPTOR *>(d);
    return nullptr;
  }
  // A descriptor as the module sees it: its own, or an IA32 copy of another module's.
  std::uint32_t descriptor_seen(const EFI_PEI_PPI_DESCRIPTOR *d) {
    if (auto it = installed_.find(d); it != installed_.end()) return it->second;
    auto [it, fresh] = descriptor_copies_.try_emplace(d, 0);
    if (fresh) {
      const std::string name = guid_name(*d->Guid);
      const std::uint32_t guid = allocate_read_only(sizeof(EFI_GUID), "the GUID of another module's " + name);
      std::memcpy(at(guid, sizeof(EFI_GUID)), d->Guid, sizeof(EFI_GUID));
      it->second = allocate_read_only(kIa32DescriptorSize, "another module's " + name + " descriptor");
      cpu_.write32(it->second, static_cast<std::uint32_t>(d->Flags));
      cpu_.write32(it->second + 4, guid);
      cpu_.write32(it->second + 8, interface_seen(d));
    }
    return it->second;
  }
  // An interface as the module sees it: its own, or the IA32 form of another module's.
  std::uint32_t interface_seen(const EFI_PEI_PPI_DESCRIPTOR *d) {
    if (installed_.count(d) != 0) return addr32(d->Ppi);
    auto [it, fresh] = interfaces_.try_emplace(d->Ppi, 0);
    if (fresh) it->second = foreign_interface(*d->Guid, d->Ppi);
    return it->second;
  }

  std::uint32_t foreign_interface(const EFI_GUID &guid, void *ppi) {
    if (GuidsEqual(guid, gSbPlatformHookPpiGuid)) {
      auto *hook = static_cast<SB_PLATFORM_HOOK_PPI *>(ppi);
      const std::uint32_t p = allocate_read_only(8, "the platform hook PPI");
      platform_hook_seen_ = static_cast<std::uint32_t>(cpu_.trap("PlatformHook", [this, hook](ImageCpu &c) {
        const EFI_STATUS st =
            hook->Hook(static_cast<UINT32>(c.arg(0)), static_cast<UINT32>(c.arg(1)), at<SB_CONFIG>(c.arg(2)));
        // The platform fills fields of the block it is handed.
        if (c.arg(2) != 0) core_.machine().memory().wrote(c.arg(2), sizeof(SB_CONFIG));
        return std::uint64_t{status32(st)};
      }));
      cpu_.write32(p, hook->Reserved);
      cpu_.write32(p + 4, platform_hook_seen_);
      return p;
    }
    if (GuidsEqual(guid, gEfiPeiResetPpiGuid)) {
      auto *reset = static_cast<EFI_PEI_RESET_PPI *>(ppi);
      const std::uint32_t p = allocate_read_only(4, "another module's Reset PPI");
      cpu_.write32(p, static_cast<std::uint32_t>(cpu_.trap("ResetSystem", [this, reset](ImageCpu &) {
                     return std::uint64_t{status32(reset->ResetSystem(host_services()))};
                   })));
      return p;
    }
    if (GuidsEqual(guid, gEfiPeiStallPpiGuid)) {
      auto *stall = static_cast<EFI_PEI_STALL_PPI *>(ppi);
      const std::uint32_t p = allocate_read_only(8, "another module's Stall PPI");
      cpu_.write32(p, static_cast<std::uint32_t>(stall->Resolution));
      cpu_.write32(p + 4, static_cast<std::uint32_t>(cpu_.trap("Stall", [this, stall](ImageCpu &c) {
                     return std::uint64_t{status32(stall->Stall(host_services(), stall, c.arg(2)))};
                   })));
      return p;
    }
    core_.note_unexpected("LocatePpi of a PPI with no IA32 form here");
    return addr32(ppi);
  }

  // ---- the CPU I/O PPI -----------------------------------------------------------------------

  void build_cpu_io() {
    constexpr std::size_t kSlots = sizeof(EFI_PEI_CPU_IO_PPI) / sizeof(void *);
    cpu_io32_ = allocate_read_only(4 * kSlots, "the CPU I/O PPI");
    const EFI_PEI_CPU_IO_PPI *io = host_table()->CpuIo;
    auto set = [&](std::size_t slot, const char *name, ImageCpu::Handler h) {
      cpu_.write32(cpu_io32_ + 4 * slot, static_cast<std::uint32_t>(cpu_.trap(name, std::move(h))));
    };
    // (PeiServices, This, Width, Address (two slots), Count, Buffer)
    auto access = [this, io](EFI_PEI_CPU_IO_PPI_IO_MEM fn) {
      return [this, io, fn](ImageCpu &c) {
        const auto width = static_cast<EFI_PEI_CPU_IO_PPI_WIDTH>(c.arg(2));
        const std::size_t count = c.arg(5), item = std::size_t{1} << (static_cast<unsigned>(width) & 3);
        return std::uint64_t{status32(fn(host_services(), io, width, c.arg64(3), count, at(c.arg(6), count * item)))};
      };
    };
    set(CPU_IO_SLOT(Mem.Read), "Mem.Read", access(io->Mem.Read));
    set(CPU_IO_SLOT(Mem.Write), "Mem.Write", access(io->Mem.Write));
    set(CPU_IO_SLOT(Io.Read), "Io.Read", access(io->Io.Read));
    set(CPU_IO_SLOT(Io.Write), "Io.Write", access(io->Io.Write));
    // (PeiServices, This, Address (two slots)) and, for writes, Data after it.
#define CPU_IO_READ(m) set(CPU_IO_SLOT(m), #m, [this, io](ImageCpu &c) { return std::uint64_t{io->m(host_services(), io, c.arg64(2))}; })
#define CPU_IO_WRITE(m, T)                                                  \
  set(CPU_IO_SLOT(m), #m, [this, io](ImageCpu &c) {                         \
    io->m(host_services(), io, c.arg64(2), static_cast<T>(c.arg64(4)));     \
    return std::uint64_t{0};                                                \
  })
    CPU_IO_READ(IoRead8);
    CPU_IO_READ(IoRead16);
    CPU_IO_READ(IoRead32);
    CPU_IO_READ(IoRead64);
    CPU_IO_READ(MemRead8);
    CPU_IO_READ(MemRead16);
    CPU_IO_READ(MemRead32);
    CPU_IO_READ(MemRead64);
    CPU_IO_WRITE(IoWrite8, UINT8);
    CPU_IO_WRITE(IoWrite16, UINT16);
    CPU_IO_WRITE(IoWrite32, UINT32);
    CPU_IO_WRITE(IoWrite64, UINT64);
    CPU_IO_WRITE(MemWrite8, UINT8);
    CPU_IO_WRITE(MemWrite16, UINT16);
    CPU_IO_WRITE(MemWrite32, UINT32);
    CPU_IO_WRITE(MemWrite64, UINT64);
#undef CPU_IO_READ
#undef CPU_IO_WRITE
  }

  PeiCore &core_;
  ImageCpu cpu_;
  std::uint32_t scratch_ = 0, services32_ = 0, cpu_io32_ = 0, platform_hook_seen_ = 0;
  std::optional<Ia32SbPeiCalls> calls_;  // the PPIs as a later module calls them
  std::map<const EFI_PEI_PPI_DESCRIPTOR *, std::uint32_t> installed_;        // host descriptor -> the module's
  std::map<const EFI_PEI_PPI_DESCRIPTOR *, std::uint32_t> descriptor_copies_;  // others' descriptors, IA32 form
  std::map<const void *, std::uint32_t> interfaces_;                         // others' interfaces, IA32 form
};

class ImageCmosPrompt final : public CmosPromptModule {
 public:
  ImageCmosPrompt(DxeCore &dxe, const PeImage &image, const ImageRun &run, const std::string &name)
      : dxe_(dxe),
        cpu_(image, kCmosPromptLoadAddress, name,
             {.writable_image = true, .mmio_below_4g = false, .count_instructions = run.count_instructions,
              .memory = run.check_memory ? &dxe.machine().memory() : nullptr}) {
    if (image.machine() != PeImage::kMachineX64) throw std::runtime_error(name + " is not an X64 image");
  }
  EFI_STATUS start() override {
    return dxe_.start_image(reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(static_cast<std::uintptr_t>(cpu_.entry())));
  }
  std::uint64_t instructions() const override { return cpu_.instructions(); }

 private:
  DxeCore &dxe_;
  ImageCpu cpu_;
};

}  // namespace

std::unique_ptr<SbPeiModule> load_sb_pei_image(PeiCore &core, const std::string &path, const ImageRun &run) {
  return std::make_unique<ImageSbPei>(core, cached_image(path), run, std::filesystem::path(path).filename().string());
}

std::unique_ptr<CmosPromptModule> load_cmos_prompt_image(DxeCore &dxe, const std::string &path, const ImageRun &run) {
  return std::make_unique<ImageCmosPrompt>(dxe, cached_image(path), run,
                                           std::filesystem::path(path).filename().string());
}

}  // namespace sim
