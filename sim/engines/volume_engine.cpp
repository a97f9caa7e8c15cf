#include "sim/engines/volume_engine.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>
#include <filesystem>
#include <map>
#include <set>

#include "pi/ppi/cpu_io.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "sim/engines/image_modules.h"
#include "sim/image/image_symbols.h"
#include "sim/machine/arena.h"
#include "sim/services/board_ppis.h"
#include "sim/services/guid_names.h"
#include "sim/services/pei_core.h"
#include "sim/services/platform_hook.h"
#include "sim/services/sec_core.h"

namespace sim {
namespace {

// The IA32 PEI services table: its header, then one 32-bit slot per service.
constexpr std::uint32_t kTableHeader = 24;
constexpr unsigned kInstallPpi = 0, kLocatePpi = 2, kGetBootMode = 4, kSetBootMode = 5, kCreateHob = 7,
                   kInstallPeiMemory = 11, kAllocatePool = 13, kCpuIo = 18;
constexpr unsigned kPeiServiceSlots = 28;
constexpr std::uint64_t kHobAlign = 8, kHobHeader = 8;
constexpr std::uint32_t kPoolPoison = 8;  // on either side of a PEIM's pool buffer
constexpr unsigned kCpuIoFunctions = 20;  // EFI_PEI_CPU_IO_PPI: Mem and Io (two each), then sixteen
constexpr std::uint32_t kDescriptorSize = 12;
constexpr std::size_t kMaxListEntries = 64;

// A pass may take this much virtual time before it counts as hanging.
constexpr std::uint64_t kPassWatchdogNs = 60'000'000'000;

constexpr const char *kOtherCode = "(code outside the volume's images)";
constexpr std::uint64_t kImageSearch = 1ull << 20;  // how far below code in RAM its image may begin
constexpr const char *kSec = "SEC";

// The PEI core handed the DXE IPL its HOB list: PEI is over.
struct DxeIplReached {
  std::uint32_t hob_list;
};

}  // namespace

bool PointerMove::left_in_temporary_ram() const { return after != 0 && SecCore::in_temporary_ram(after); }

struct VolumeEngine::Impl {
  struct Range {
    std::uint64_t first, end;
    const VolumeModule *module;
    std::uint64_t entry;
  };
  struct Return {
    std::uint64_t address, sp;
    std::size_t dispatch;
    bool sb_pei;
  };
  // Traps of SEC's PPI list, made once for the engine's emulator.
  struct Traps {
    std::uint32_t dxe_ipl, temporary_ram_done, hook, foreign_reset, foreign_stall;
    std::uint32_t services, sb_pei_done, memory;
  };
  // The PEI core's services the engine follows, by where they lie in the PEI core's image: the
  // same offsets find them in any copy of the core (SEC's, or the one the core shadows into
  // permanent memory), whatever table holds them.
  enum class CoreService { InstallPpi, LocatePpi, GetBootMode, InstallPeiMemory, AllocatePool, CreateHob };
  struct FollowedService {
    unsigned slot;  // in the PEI services table
    CoreService service;
    const char *name;
  };
  static constexpr FollowedService kFollowed[] = {{kInstallPpi, CoreService::InstallPpi, "InstallPpi"},
                                                  {kLocatePpi, CoreService::LocatePpi, "LocatePpi"},
                                                  {kGetBootMode, CoreService::GetBootMode, "GetBootMode"},
                                                  {kInstallPeiMemory, CoreService::InstallPeiMemory, "InstallPeiMemory"},
                                                  {kAllocatePool, CoreService::AllocatePool, "AllocatePool"},
                                                  {kCreateHob, CoreService::CreateHob, "CreateHob"}};
  // Memory SbPei asked the PEI core for, entered in the memory check when the service returns.
  struct Allocation {
    CoreService service;
    std::uint64_t return_address, sp;  // the block SbPei returns to, and its stack pointer then
    std::uint32_t size, out;
  };
  struct ServiceAt {
    std::uint64_t offset;
    CoreService service;
  };
  // Everything that lasts one pass, made fresh for each.
  struct Pass {
    VolumePassResult result;
    const VolumeBoard *board = nullptr;
    std::vector<Range> ranges;      // sorted by address: the volume's images, then what was loaded
    const Range *current = nullptr;
    const char *current_name = kSec;
    std::uint64_t counted = 0;
    std::vector<Return> returns;
    std::vector<ServiceAt> services;
    std::vector<std::pair<std::string, std::uint32_t>> pointers_before;
    std::uint32_t scratch_guid = 0, scratch_out = 0, scratch_calls = 0;
    std::optional<Allocation> allocation;
  };

  Impl(const PeiVolume &v, Machine &m, const VolumeOptions &options)
      : volume(v),
        machine(m),
        cpu(ImageCpu::Flash{v.base(), v.flash(), v.flash_size(), code_ranges(v)}, v.fv().what(),
            {.writable_image = false, .mmio_below_4g = true, .count_instructions = options.count_instructions,
             .max_blocks = options.max_blocks, .memory = options.check_memory ? &m.memory() : nullptr}),
        sec(cpu),
        steps(m.timeline()),
        count(options.count_instructions),
        check_memory(options.check_memory) {
    sb_pei = v.find(kSbPeiFileGuid);
    hook_peim = v.peim_installing(gSbPlatformHookPpiGuid);
    for (const VolumeModule &mod : v.modules()) volume_ranges.push_back({mod.first, mod.end, &mod, mod.entry});
    if (!v.pei_core().xip_problem.empty()) {
      shadow_image.emplace(v.image(v.pei_core()));
      volume_ranges.push_back({SecCore::kShadow, SecCore::kShadow + shadow_image->size_of_image(), &v.pei_core(),
                               SecCore::kShadow + shadow_image->entry_rva()});
    }
    std::sort(volume_ranges.begin(), volume_ranges.end(), [](const Range &a, const Range &b) { return a.first < b.first; });
    // The modules' debug files, where the volume's build left them beside it (debug/NAME.debug).
    const std::string debug_dir = std::filesystem::path(v.fv().what()).parent_path().string() + "/debug/";
    for (const VolumeModule &mod : v.modules()) start_rvas[&mod] = v.image(mod).start_rva();
    cpu.name_addresses([this, debug_dir](std::uint64_t a) {
      const Range *r = pass ? range_at(a) : nullptr;
      if (r == nullptr) return fmt::format("0x{:X}", a);
      std::string s = fmt::format("{}+0x{:X}", r->module->name, a - r->first);
      const std::string symbol = ImageSymbols::of(debug_dir + r->module->name + ".efi")
                                     .describe(static_cast<std::uint32_t>(a - r->first + start_rvas[r->module]));
      return symbol.empty() ? s : fmt::format("{} ({})", s, symbol);
    });
    cpu.observe_blocks([this](std::uint64_t a) { on_block(a); });
    // The memory check judges the PEIMs' code; the PEI core's, which manages this memory, it
    // does not.
    cpu.judge_memory_of([this]() -> const char * {
      return pass != nullptr && pass->current != nullptr && pass->current->module->type != kFfsPeiCore
                 ? pass->current->module->name.c_str()
                 : nullptr;
    });
    for (const VolumeModule &mod : v.modules()) {
      if (mod.type != kFfsPeiCore && mod.xip_problem.empty()) cpu.on_execute(mod.entry, [this, &mod] { on_entry(mod); });
    }
    make_traps();
  }

  static std::vector<std::pair<std::uint64_t, std::uint64_t>> code_ranges(const PeiVolume &v) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> code;
    for (const VolumeModule &m : v.modules()) {
      const PeImage pe = v.image(m);
      for (const PeSection &s : pe.sections())
        if (s.executable()) code.emplace_back(m.first + s.rva, m.first + s.rva + s.virtual_size);
    }
    return code;
  }

  const Range *range_at(std::uint64_t a) const {
    const std::vector<Range> &ranges = pass->ranges;
    auto it = std::upper_bound(ranges.begin(), ranges.end(), a, [](std::uint64_t x, const Range &r) { return x < r.first; });
    if (it == ranges.begin()) return nullptr;
    --it;
    return a < it->end ? &*it : nullptr;
  }
  const char *name_at(std::uint64_t a) const {
    const Range *r = range_at(a);
    return r != nullptr ? r->module->name.c_str() : a == ImageCpu::kReturnSentinel ? kSec : kOtherCode;
  }
  const VolumeModule *module_at(std::uint64_t a) const {
    const Range *r = range_at(a);
    return r != nullptr ? r->module : nullptr;
  }
  // The module that called the function whose first instruction is about to run.
  const VolumeModule *caller() const { return module_at(cpu.read32(cpu.stack_pointer())); }
  const char *caller_name() const { return name_at(cpu.read32(cpu.stack_pointer())); }

  // ---- who runs ------------------------------------------------------------------------------

  void on_block(std::uint64_t address) {
    Pass &p = *pass;
    if (p.allocation && address == p.allocation->return_address && cpu.stack_pointer() == p.allocation->sp)
      allocated();
    if (!p.returns.empty() && address == p.returns.back().address && cpu.stack_pointer() == p.returns.back().sp)
      finish_dispatch();
    const Range *r = p.current;
    if (r == nullptr || address < r->first || address >= r->end) {
      r = range_at(address);
      if (r == nullptr && (r = discover_image(address)) != nullptr && address == r->entry) {
        // The PEI core loaded a PEIM into memory (one that registered for shadowing, say) and
        // calls its entry there.
        switch_to(r, address);
        on_entry(*r->module);
        return;
      }
      switch_to(r, address);
    }
    if (r != nullptr && r->module->type == kFfsPeiCore) on_core_block(address - r->first);
  }

  // Code in RAM that no known image holds: an image the PEI core loaded there. It begins on a
  // page at or below `address` with a PE or TE header, and it is a copy of one of the volume's
  // images when its headers say so (the same entry point, size and sections).
  const Range *discover_image(std::uint64_t address) {
    if (!SecCore::in_firmware_ram(address)) return nullptr;
    for (std::uint64_t page = address & ~std::uint64_t{0xFFF}; address - page < kImageSearch && SecCore::in_firmware_ram(page);
         page -= 0x1000) {
      const auto *p = static_cast<const std::uint8_t *>(cpu.host(page, 2));
      if (!((p[0] == 'M' && p[1] == 'Z') || (p[0] == 'V' && p[1] == 'Z'))) continue;
      try {
        const PeImage copy = PeImage::parse({p, p + std::min<std::uint64_t>(kImageSearch, SecCore::firmware_ram_end() - page)}, "RAM");
        if (address >= page + copy.size_of_image()) return nullptr;
        for (const VolumeModule &m : volume.modules()) {
          if (same_image(volume.image(m), copy)) {
            insert_range({page, page + copy.size_of_image(), &m, page + copy.entry_rva()});
            return range_at(address);
          }
        }
      } catch (const std::exception &) {
        // Not an image's headers after all.
      }
      return nullptr;
    }
    return nullptr;
  }

  static bool same_image(const PeImage &a, const PeImage &b) {
    if (a.entry_rva() != b.entry_rva() || a.size_of_image() != b.size_of_image() || a.sections().size() != b.sections().size())
      return false;
    for (std::size_t i = 0; i < a.sections().size(); ++i) {
      const PeSection &x = a.sections()[i], &y = b.sections()[i];
      if (x.name != y.name || x.rva != y.rva || x.virtual_size != y.virtual_size) return false;
    }
    return true;
  }

  void insert_range(const Range &r) {
    std::vector<Range> &ranges = pass->ranges;
    ranges.insert(std::upper_bound(ranges.begin(), ranges.end(), r.first,
                                   [](std::uint64_t x, const Range &e) { return x < e.first; }),
                  r);
    pass->current = nullptr;  // the ranges moved
  }

  void switch_to(const Range *r, std::uint64_t address) {
    Pass &p = *pass;
    const char *was = p.current_name;
    if (count && cpu.instructions() != p.counted) {
      p.result.instructions[was] += cpu.instructions() - p.counted;
      p.counted = cpu.instructions();
    }
    p.current = r;
    p.current_name = r != nullptr ? r->module->name.c_str() : name_at(address);
    // An access the CPU I/O PPI makes is made for the module that called it: control came into
    // the PPI's module at one of its functions, and stays in that module until it returns.
    if (cpu_io_function(address)) cpu.attribute_accesses(was, "CpuIo");
    else cpu.attribute_accesses(p.current_name, nullptr);
  }

  // One of the functions of the CPU I/O PPI the PEI services table holds now (the PEI core keeps
  // its services pointer in the 4 bytes below the IDT).
  bool cpu_io_function(std::uint64_t address) const {
    try {
      const std::uint32_t services = cpu.read32(cpu.idtr_base() - 4);
      if (services == 0) return false;
      const std::uint32_t io = cpu.read32(cpu.read32(services) + kTableHeader + 4 * kCpuIo);
      const auto *fns = static_cast<const std::uint32_t *>(cpu.host(io, sizeof(std::uint32_t) * kCpuIoFunctions));
      return std::find(fns, fns + kCpuIoFunctions, address) != fns + kCpuIoFunctions;
    } catch (const EmulationFault &) {
      return false;  // no services table yet, or one the PEI core has not filled
    }
  }

  // The PEI core calls a PEIM's entry point: its dispatch begins.
  void on_entry(const VolumeModule &m) {
    Pass &p = *pass;
    const std::uint64_t sp = cpu.stack_pointer();
    const VolumeModule *by = caller();
    if (by == nullptr || by->type != kFfsPeiCore) return;
    if (!p.returns.empty() && p.returns.back().sp == sp + 4) return;  // the entry's first instruction again, no new call
    p.result.dispatched.push_back({m.name, machine.now_ns(), 0, std::nullopt});
    const bool is_sb_pei = &m == sb_pei;
    p.returns.push_back({cpu.read32(sp), sp + 4, p.result.dispatched.size() - 1, is_sb_pei});
    if (is_sb_pei) steps.begin();
    else machine.timeline().begin(m.name + " entry");
  }

  void finish_dispatch() {
    Pass &p = *pass;
    const Return r = p.returns.back();
    p.returns.pop_back();
    DispatchedModule &d = p.result.dispatched[r.dispatch];
    d.end_ns = machine.now_ns();
    d.status = status64(cpu.return_value());
    if (r.sb_pei) steps.end();
    else machine.timeline().end(d.name + " entry");
  }

  // ---- the PEI core's services, as the modules call them --------------------------------------

  std::uint32_t service(std::uint32_t services, unsigned slot) const {
    return cpu.read32(cpu.read32(services) + kTableHeader + 4 * slot);
  }

  // Where the followed services lie in the PEI core's image, read from the table the PEI core
  // hands SEC's first notification.
  void find_services(std::uint32_t services) {
    pass->services.clear();
    for (const FollowedService &f : kFollowed) {
      const std::uint32_t address = service(services, f.slot);
      const Range *r = range_at(address);
      if (r == nullptr || r->module->type != kFfsPeiCore)
        throw std::runtime_error(fmt::format("the PEI services table's {} (0x{:X}) is not in the PEI core's image: the "
                                             "engine cannot follow it",
                                             f.name, address));
      pass->services.push_back({address - r->first, f.service});
    }
    enter_read_only(cpu.idtr_base() - 4, 4, "the PEI services pointer");
    const std::uint32_t table = cpu.read32(services);
    enter_read_only(table, kTableHeader + 4 * kPeiServiceSlots, "the PEI services table");
    // The two slots the PEIMs that provide them fill: the CPU I/O PPI and the PCI configuration PPI.
    if (check_memory)
      machine.memory().add(table + kTableHeader + 4 * kCpuIo, 8, MemoryCheck::Use::Writable,
                           "the PEI services table's CpuIo and PciCfg (their PEIMs fill them)");
  }

  // A block of the PEI core's code at `offset` in its image: a followed service begins there.
  void on_core_block(std::uint64_t offset) {
    for (const ServiceAt &s : pass->services) {
      if (s.offset != offset) continue;
      switch (s.service) {
        case CoreService::InstallPpi: on_install_ppi(); break;
        case CoreService::LocatePpi: follow(PeiService::LocatePpi); break;
        case CoreService::GetBootMode: follow(PeiService::GetBootMode); break;
        case CoreService::InstallPeiMemory:
          pass->result.permanent_memory = std::pair{cpu.arg64(1), cpu.arg64(3)};
          break;
        case CoreService::AllocatePool:  // (PeiServices, Size, Buffer)
        case CoreService::CreateHob:     // (PeiServices, Type, Length, Hob)
          if (judged(caller()) && check_memory) {
            const bool pool = s.service == CoreService::AllocatePool;
            const std::uint64_t sp = cpu.stack_pointer();
            const auto size = static_cast<std::uint32_t>(cpu.arg(pool ? 1 : 2));
            pass->allocation = Allocation{s.service, cpu.read32(sp), sp + 4, size,
                                          static_cast<std::uint32_t>(cpu.arg(pool ? 2 : 3))};
            // Room for a poisoned zone on either side of a pool buffer: the core is asked for more,
            // and the PEIM gets the buffer within it (allocated() moves the pointer).
            if (pool && size <= 0xFFFF - kHobHeader - 2 * kPoolPoison) cpu.write32(sp + 8, size + 2 * kPoolPoison);
          }
          break;
      }
      return;
    }
  }

  static bool judged(const VolumeModule *m) { return m != nullptr && m->type != kFfsPeiCore; }

  // A PEIM's AllocatePool or CreateHob returned: what it got is its own, exactly as large as asked
  // (the rest of the HOB is poisoned), filled with a pattern rather than what lay there.
  void allocated() {
    const Allocation a = *pass->allocation;
    pass->allocation.reset();
    if (a.out == 0 || EFI_ERROR(status64(cpu.return_value()))) return;
    const std::uint32_t p = cpu.read32(a.out);
    MemoryCheck &owned = machine.memory();
    std::uint64_t hob_end = 0;
    if (a.service == CoreService::AllocatePool) {
      // A memory pool HOB: its header, poison, the buffer, poison up to the next 8 bytes.
      const std::uint32_t buffer = p + kPoolPoison;
      hob_end = (buffer + a.size + kPoolPoison + kHobAlign - 1) & ~(kHobAlign - 1);
      cpu.write32(a.out, buffer);
      Arena::instance().fill(buffer, a.size, 0xAFAFAFAF);
      owned.add(p - kHobHeader, kHobHeader, MemoryCheck::Use::ReadOnly, "a HOB header");
      owned.add_buffer(buffer, a.size, kPoolPoison, hob_end - buffer - a.size, fmt::format("{}-byte pool buffer", a.size),
                       "AllocatePool");
    } else if (a.size >= kHobHeader) {
      hob_end = (p + a.size + kHobAlign - 1) & ~(kHobAlign - 1);
      Arena::instance().fill(p + kHobHeader, a.size - kHobHeader, 0xAFAFAFAF);
      owned.add(p, kHobHeader, MemoryCheck::Use::ReadOnly, "a HOB header");
      owned.add_buffer(p + kHobHeader, a.size - kHobHeader, 0, hob_end - p - a.size, fmt::format("{}-byte HOB", a.size),
                       "CreateHob");
    }
    // The end of the HOB list follows the new HOB: the core's (the next HOB's header, later).
    if (hob_end != 0) owned.add(hob_end, kHobHeader, MemoryCheck::Use::ReadOnly, "the end of the HOB list");
  }

  // Someone else's, in the memory check: read-only to the PEIMs but `owner`.
  void enter_read_only(std::uint64_t first, std::uint64_t size, const std::string &what, const std::string &owner = {}) {
    if (check_memory && first != 0) machine.memory().add(first, size, MemoryCheck::Use::ReadOnly, what, {}, owner);
  }

  void follow(PeiService s, const std::string &detail = {}) {
    if (sb_pei != nullptr && caller() == sb_pei) steps.on_service(s, detail);
  }

  std::string guid_at(std::uint32_t address) const {
    try {
      return guid_name(*cpu.at<EFI_GUID>(address));
    } catch (const EmulationFault &) {
      return fmt::format("(GUID at 0x{:X})", address);
    }
  }

  void on_install_ppi() {
    const char *by = caller_name();
    std::string first;
    try {
      std::uint32_t d = static_cast<std::uint32_t>(cpu.arg(1));
      for (std::size_t i = 0; i < kMaxListEntries; ++i, d += kDescriptorSize) {
        const std::uint32_t flags = cpu.read32(d);
        if ((flags & kPpiFlagPpi) != 0) {
          pass->result.ppis.push_back({guid_at(cpu.read32(d + 4)), by, d, cpu.read32(d + 8)});
          enter_read_only(d, kDescriptorSize, fmt::format("{}'s {} descriptor", by, pass->result.ppis.back().ppi), by);
          enter_read_only(cpu.read32(d + 4), sizeof(EFI_GUID), fmt::format("{}'s {} GUID", by, pass->result.ppis.back().ppi),
                          by);
          if (first.empty()) first = pass->result.ppis.back().ppi;
          if (caller() != sb_pei) machine.timeline().instant("install " + pass->result.ppis.back().ppi);
        }
        if ((flags & kPpiFlagTerminate) != 0 || (flags & (kPpiFlagPpi | kPpiFlagNotifyCallback | kPpiFlagNotifyDispatch)) == 0)
          break;
      }
    } catch (const EmulationFault &) {
      // A list the PEI core will refuse; what it is, is its business.
    }
    follow(PeiService::InstallPpi, first);
  }

  // A PPI as a later module finds it: LocatePpi of the real PEI core.
  std::uint32_t locate(std::uint32_t services, const EFI_GUID &guid, unsigned instance) {
    const Pass &p = *pass;
    std::memcpy(cpu.host(p.scratch_guid, sizeof guid), &guid, sizeof guid);
    cpu.write32(p.scratch_out, 0);
    const std::uint64_t st = cpu.call(service(services, kLocatePpi), {services, p.scratch_guid, instance, 0, p.scratch_out});
    return static_cast<std::uint32_t>(st) == 0 ? cpu.read32(p.scratch_out) : 0;
  }

  Ia32SbPeiCalls calls(std::uint32_t services) {
    return Ia32SbPeiCalls(
        cpu, services, pass->scratch_calls,
        [this, services](const EFI_GUID &g, unsigned i) { return locate(services, g, i); },
        [](const std::function<std::uint64_t()> &call) { return call(); });
  }

  // SbPei's private data (the private PPI's interface), its configuration block pointer, the
  // PEI services pointer in that block and its SMBus PPIs, where a later module finds them.
  std::vector<std::pair<std::string, std::uint32_t>> sb_pei_pointers(std::uint32_t services) {
    const std::uint32_t priv = locate(services, gSbPrivatePpiGuid, 0);
    const std::uint32_t config = priv != 0 ? cpu.read32(priv + 12) : 0;
    return {{"private PPI (SbPei's private data + 4)", priv},
            {"configuration block pointer in the private data", config},
            {"PEI services pointer in the configuration block",
             config != 0 ? cpu.read32(config + offsetof(SB_CONFIG, PeiServices)) : 0},
            {"SMBus PPI 0 (its controller record)", locate(services, gEfiPeiSmbusPpiGuid, 0)},
            {"SMBus PPI 1 (its controller record)", locate(services, gEfiPeiSmbusPpiGuid, 1)}};
  }

  // ---- SEC's PPI list ---------------------------------------------------------------------------

  void make_traps() {
    const auto trap = [this](const char *name, ImageCpu::Handler h) {
      return static_cast<std::uint32_t>(cpu.trap(name, std::move(h)));
    };
    traps.dxe_ipl = trap("DxeIpl.Entry", [](ImageCpu &c) -> std::uint64_t {
      throw DxeIplReached{static_cast<std::uint32_t>(c.arg(2))};  // (This, PeiServices, HobList)
    });
    traps.temporary_ram_done = trap("TemporaryRamDone", [this](ImageCpu &) {
      temporary_ram_done();
      return std::uint64_t{0};
    });
    traps.hook = trap("PlatformHook", [this](ImageCpu &c) {
      const auto point = static_cast<UINT32>(c.arg(0));
      pass->result.hook_points.push_back(point);
      run_hook_point(machine.timeline(), point, static_cast<std::uint32_t>(c.arg(2)) != 0 ? c.at<SB_CONFIG>(c.arg(2)) : nullptr,
                     pass->board->platform_hook);
      if (c.arg(2) != 0) machine.memory().wrote(c.arg(2), sizeof(SB_CONFIG));  // the platform fills fields
      return std::uint64_t{0};
    });
    // Another module's reset and stall: (PeiServices) and (PeiServices, This, Microseconds).
    traps.foreign_reset = trap("another module's ResetSystem", [this](ImageCpu &) {
      return std::uint64_t{status32(board_reset_system(machine))};
    });
    traps.foreign_stall = trap("another module's Stall", [this](ImageCpu &c) {
      board_stall(machine, static_cast<std::uint32_t>(c.arg(2)));
      return std::uint64_t{0};
    });
    // Notifications: (PeiServices, NotifyDescriptor, Ppi).
    traps.services = trap("SEC: the PEI services", [this](ImageCpu &c) {
      const auto services = static_cast<std::uint32_t>(c.arg(0));
      find_services(services);
      if (pass->board->boot_mode_before != BOOT_WITH_FULL_CONFIGURATION)
        cpu.call(service(services, kSetBootMode), {services, pass->board->boot_mode_before});
      return std::uint64_t{0};
    });
    traps.sb_pei_done = trap("SEC: after SbPei", [this](ImageCpu &c) {
      const auto services = static_cast<std::uint32_t>(c.arg(0));
      pass->pointers_before = sb_pei_pointers(services);
      if (pass->board->after_sb_pei) {
        Ia32SbPeiCalls ppis = calls(services);
        pass->board->after_sb_pei(ppis);
      }
      return std::uint64_t{0};
    });
    traps.memory = trap("SEC: after memory", [this](ImageCpu &c) {
      const auto services = static_cast<std::uint32_t>(c.arg(0));
      const auto after = sb_pei_pointers(services);
      for (std::size_t i = 0; i < after.size() && i < pass->pointers_before.size(); ++i)
        pass->result.migration.push_back({after[i].first, pass->pointers_before[i].second, after[i].second});
      if (pass->board->after_memory) {
        Ia32SbPeiCalls ppis = calls(services);
        pass->board->after_memory(ppis);
      }
      return std::uint64_t{0};
    });
  }

  std::vector<SecCore::Entry> sec_list(std::vector<std::string> &owners) {
    const VolumeBoard &board = *pass->board;
    std::vector<SecCore::Entry> list;
    const auto ppi = [&](const char *by, const EFI_GUID &guid, std::vector<std::uint32_t> interface) {
      list.push_back({kPpiFlagPpi, guid, std::move(interface), 0});
      owners.emplace_back(by);
    };
    const auto notify = [&](std::uint32_t flags, const EFI_GUID &guid, std::uint32_t fn) {
      list.push_back({flags, guid, {}, fn});
      owners.emplace_back();
    };
    VolumePassResult &r = pass->result;
    ppi(kSec, gEfiDxeIplPpiGuid, {traps.dxe_ipl});
    ppi(kSec, gEfiTemporaryRamDonePpiGuid, {traps.temporary_ram_done});
    if (hook_peim != nullptr) {
      r.hook_source = "the volume's " + hook_peim->name;
    } else if (board.platform_hook) {
      ppi(kBoardModule, gSbPlatformHookPpiGuid, {0, traps.hook});
      r.hook_source = "the board's, in SEC's PPI list";
    } else {
      r.hook_source = "none";
    }
    if (board.foreign_reset_ppi) ppi(kBoardModule, gEfiPeiResetPpiGuid, {traps.foreign_reset});
    if (board.foreign_stall_ppi) ppi(kBoardModule, gEfiPeiStallPpiGuid, {1, traps.foreign_stall});
    notify(kPpiFlagNotifyCallback, gEfiDxeIplPpiGuid, traps.services);
    notify(kPpiFlagNotifyDispatch, gSbInitDonePpiGuid, traps.sb_pei_done);
    notify(kPpiFlagNotifyDispatch, gEfiPeiMemoryDiscoveredPpiGuid, traps.memory);
    return list;
  }

  // The PEI core is done with temporary RAM: what cache-as-RAM held is gone (it reads all ones
  // from now on), and any later use of it is a finding.
  void temporary_ram_done() {
    Arena::instance().fill(SecCore::kTemporaryRamBase, SecCore::kTemporaryRamSize, 0xFFFFFFFF);
    if (check_memory)
      machine.memory().add(SecCore::kTemporaryRamBase, SecCore::kTemporaryRamSize, MemoryCheck::Use::Gone,
                           "temporary RAM the PEI core gave up (TemporaryRamDone)");
    cpu.watch_memory(SecCore::kTemporaryRamBase, SecCore::kTemporaryRamBase + SecCore::kTemporaryRamSize,
                     [this](std::uint64_t address, unsigned, bool write) {
                       const std::string module = pass->current_name;
                       for (StaleAccess &s : pass->result.stale) {
                         if (s.module == module && s.write == write) {
                           ++s.count;
                           return;
                         }
                       }
                       pass->result.stale.push_back({module, address, write, 1});
                     });
    Timeline &timeline = machine.timeline();
    timeline.begin_phase(timeline.phase() + " after memory");
  }

  // ---- a pass ---------------------------------------------------------------------------------

  // The memory check's map of the firmware's RAM at SEC's hand-off: the PEI core hands it out
  // (SbPei may use what it is given), but for the stack below its pointer, SEC's PPI list and
  // what the core marks as someone else's as the pass goes on.
  void enter_firmware_ram(const std::vector<SecCore::Entry> &list, const std::vector<SecCore::Placed> &placed,
                          const std::vector<std::string> &owners) {
    if (!check_memory) return;
    MemoryCheck &owned = machine.memory();
    owned.forget(Arena::kFirmwareRamBase, Arena::kBase + Arena::kSize);
    owned.add(Arena::kFirmwareRamBase, Arena::kBase + Arena::kSize - Arena::kFirmwareRamBase, MemoryCheck::Use::Writable,
              "firmware RAM the PEI core hands out");
    owned.add(SecCore::kTemporaryRamBase + SecCore::kTemporaryRamSize - SecCore::kStackSize, SecCore::kStackSize,
              MemoryCheck::Use::Stack, "the stack in temporary RAM");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string whose = owners[i].empty() ? std::string(kSec) : owners[i];
      enter_read_only(placed[i].descriptor, kDescriptorSize, fmt::format("{}'s {} descriptor", whose, guid_name(list[i].guid)));
      enter_read_only(placed[i].interface, 4 * list[i].interface.size(),
                      fmt::format("{}'s {} PPI", whose, guid_name(list[i].guid)));
    }
  }

  VolumePassResult run(const VolumeBoard &b) {
    pass = std::make_unique<Pass>();
    Pass &p = *pass;
    VolumePassResult &r = p.result;
    p.board = &b;
    p.ranges = volume_ranges;  // what the last pass loaded into RAM is gone
    p.counted = cpu.instructions();
    cpu.attribute_accesses(kSec, nullptr);
    Machine::Scope scope(machine);
    machine.set_watchdog(kPassWatchdogNs);

    try {
      std::vector<std::string> owners;
      const std::vector<SecCore::Entry> list = sec_list(owners);
      const std::vector<SecCore::Placed> placed = sec.prepare(volume.base(), volume.fv().length(), list);
      for (std::size_t i = 0; i < list.size(); ++i)
        if (!owners[i].empty()) r.ppis.push_back({guid_name(list[i].guid), owners[i], placed[i].descriptor, placed[i].interface});
      enter_firmware_ram(list, placed, owners);
      p.scratch_guid = sec.scratch(sizeof(EFI_GUID));
      p.scratch_out = sec.scratch(4);
      p.scratch_calls = sec.scratch(Ia32SbPeiCalls::kScratchSize);
      std::uint64_t entry = volume.pei_core().entry;
      if (shadow_image) {
        entry = sec.shadow(*shadow_image);
        r.pei_core_load =
            fmt::format("copied to RAM at 0x{:X} and relocated ({})", SecCore::kShadow, volume.pei_core().xip_problem);
      } else {
        r.pei_core_load = fmt::format("in place at 0x{:X}", volume.pei_core().first);
      }
      sec.start(entry);
    } catch (const DxeIplReached &d) {
      r.reached_dxe_ipl = true;
      r.hob_list = d.hob_list;
    } catch (const ResetSignal &reset) {
      r.reset = reset;
    } catch (const EmulationFault &e) {
      r.stopped = e.what();  // the firmware did what no board allows
    } catch (const Hang &e) {
      r.stopped = e.what();  // the firmware spun past the pass's budget
    } catch (const std::exception &e) {
      r.simulator_error = e.what();
    }
    if (count) switch_to(nullptr, ImageCpu::kReturnSentinel);  // the last module's count
    cpu.unwatch_memory();
    machine.set_watchdog(0);
    if (!r.reached_dxe_ipl && !r.stopped && !r.reset && !r.simulator_error) r.stopped = "the PEI core returned to SEC";
    // The boot mode and SbPei's configuration from the HOB list: the one the DXE IPL was handed,
    // else the one in temporary RAM (a pass cut short before memory).
    std::uint64_t list = r.hob_list;
    if (list == 0 && r.permanent_memory == std::nullopt) list = SecCore::kTemporaryRamBase;
    if (list != 0) {
      const HobListView hobs = read_hob_list(list, [this](std::uint64_t address, std::size_t bytes) -> const void * {
        try {
          return cpu.host(address, bytes);
        } catch (const EmulationFault &) {
          return nullptr;
        }
      });
      if (hobs.boot_mode) r.boot_mode = *hobs.boot_mode;
      r.config = hobs.config;
    }
    r.not_dispatched = explain_not_dispatched(volume.modules(), r.dispatched, r.ppis, !r.reached_dxe_ipl);
    VolumePassResult out = std::move(r);
    pass.reset();
    return out;
  }

  // For the life of the engine.
  const PeiVolume &volume;
  Machine &machine;
  ImageCpu cpu;
  SecCore sec;
  EntrySteps steps;
  bool count;
  bool check_memory;
  std::optional<PeImage> shadow_image;  // the PEI core, when it cannot run in place
  std::vector<Range> volume_ranges;     // the volume's images (and SEC's copy of the PEI core), sorted
  std::map<const VolumeModule *, std::uint32_t> start_rvas;  // for their debug information
  const VolumeModule *sb_pei = nullptr;
  const VolumeModule *hook_peim = nullptr;  // a PEIM of the volume that installs the platform hook
  Traps traps{};

  std::unique_ptr<Pass> pass;  // while a pass runs
};

VolumeEngine::VolumeEngine(const PeiVolume &volume, Machine &machine, const VolumeOptions &options)
    : impl_(std::make_unique<Impl>(volume, machine, options)) {}

VolumeEngine::~VolumeEngine() = default;

VolumePassResult VolumeEngine::run_pass(const VolumeBoard &board) { return impl_->run(board); }

}  // namespace sim
