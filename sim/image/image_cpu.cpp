#include "sim/image/image_cpu.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <fmt/format.h>
#include <map>
#include <memory>

#include "sim/image/image_symbols.h"
#include "sim/machine/arena.h"
#include "sim/machine/faults.h"
#include "sim/machine/machine.h"
#include "sim/machine/memory_check.h"

extern "C" char __executable_start[];  // the host program's code, from the linker
extern "C" char etext[];

// Calls the function at `fn` as the Microsoft x64 convention calls: the first four arguments in
// RCX, RDX, R8 and R9, the other six on the stack above 32 bytes of shadow space, the result in
// RAX.
// The image's call is forwarded as it was made, whatever the function's own parameter types (a
// call through a C++ pointer of one type to a function of another would be undefined). Every
// register the convention has the callee keep is one the System V caller expects kept. The frame
// has unwind information, so that a stand-in's exception (a hang, a fault) passes through.
extern "C" std::uint64_t sb_call_ms_abi(std::uint64_t fn, const std::uint64_t *args);
asm(R"(
    .pushsection .text
    .globl sb_call_ms_abi
    .type sb_call_ms_abi, @function
sb_call_ms_abi:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $80, %rsp
    movq %rdi, %rax
    movq %rsi, %r10
    leaq 32(%r10), %rsi
    leaq 32(%rsp), %rdi
    movl $6, %ecx
    rep movsq
    movq (%r10), %rcx
    movq 8(%r10), %rdx
    movq 16(%r10), %r8
    movq 24(%r10), %r9
    callq *%rax
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size sb_call_ms_abi, .-sb_call_ms_abi
    .popsection
)");

namespace sim {
namespace {

// "SbPei+0x5BD (sbpei::SmbusExecute+0x2D at sb_pei/smbus.cpp:120)": the module and offset, then
// what the image's symbols say.
std::string describe_in_image(const std::string &module, const std::string &file, std::uint64_t load, std::uint64_t pc) {
  const std::string s = fmt::format("{}+0x{:X}", module, pc - load);
  const std::string symbol = file.empty() ? std::string{} : ImageSymbols::of(file).describe(static_cast<std::uint32_t>(pc - load));
  return symbol.empty() ? s : fmt::format("{} ({})", s, symbol);
}

constexpr std::uint64_t kPage = 0x1000;
constexpr std::uint64_t kTrapAreaSize = 0x10000;
constexpr std::size_t kStackSize = 64 * 1024;

std::uint64_t page_up(std::uint64_t v) { return (v + kPage - 1) & ~(kPage - 1); }

// Host memory for images, at their load addresses, kept for the life of the process (a new
// load of the same image reuses it).
std::uint8_t *image_memory(std::uint64_t address, std::uint64_t size) {
  static std::map<std::uint64_t, std::uint64_t> mapped;
  auto it = mapped.find(address);
  if (it != mapped.end()) {
    if (it->second < size) throw std::runtime_error(fmt::format("image area at 0x{:X} too small", address));
    return reinterpret_cast<std::uint8_t *>(address);
  }
  void *p = mmap(reinterpret_cast<void *>(address), size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p != reinterpret_cast<void *>(address))
    throw std::runtime_error(fmt::format("cannot map image memory at 0x{:X}: the process has there: {}", address,
                                         sim::mappings_over(address, size)));
  mapped[address] = size;
  return static_cast<std::uint8_t *>(p);
}

std::function<void(std::uint64_t)> &all_blocks_observer() {
  static std::function<void(std::uint64_t)> observer;
  return observer;
}

// Every image run checks out its load area; two live images at one address would share it.
std::map<std::uint64_t, const ImageCpu *> &live_images() {
  static std::map<std::uint64_t, const ImageCpu *> m;
  return m;
}

void check(uc_err e, const char *what) {
  if (e != UC_ERR_OK) throw std::runtime_error(fmt::format("emulator: {}: {}", what, uc_strerror(e)));
}

}  // namespace

// One emulator per image and load address, kept for the life of the process: its mappings
// and hooks stay, and so does the code it has translated, which the next load of the same
// image reuses. The hooks reach the ImageCpu that runs on it now.
struct ImageCpu::Emulator {
  struct MmioRegion {
    Emulator *emulator;
    std::uint64_t base;
  };
  uc_engine *uc = nullptr;
  ImageCpu *cpu = nullptr;
  std::vector<std::unique_ptr<MmioRegion>> regions;
  std::vector<std::uint64_t> pause_sites;
  uc_hook count_hook = 0;
};

namespace {
using MmioRegion = ImageCpu::Emulator::MmioRegion;

// While in scope, the machine's accesses are made for the image instruction `pc()` gives (read
// only when the trace records them); the one before is restored at the end.
class ScopedSourcePc {
 public:
  template <class Pc>
  ScopedSourcePc(const ImageCpu &cpu, Pc pc) : m_(Machine::has_current() ? &Machine::current() : nullptr) {
    if (m_ == nullptr) return;
    before_ = m_->source_pc();
    if (!m_->trace().enabled()) return;
    cpu.name_code_for(*m_);
    m_->set_source_pc(pc());
  }
  ~ScopedSourcePc() {
    if (m_ != nullptr) m_->set_source_pc(before_);
  }
  ScopedSourcePc(const ScopedSourcePc &) = delete;
  ScopedSourcePc &operator=(const ScopedSourcePc &) = delete;

 private:
  Machine *m_;
  std::uint64_t before_ = 0;
};
ImageCpu *running(void *user) { return static_cast<ImageCpu::Emulator *>(user)->cpu; }
}  // namespace

// The emulator's callbacks. They run inside the emulator, which C++ exceptions must not
// cross: a throw from the machine (a reset, the watchdog) is held and the run stopped.
struct ImageCpuHooks {
  static bool stopped(ImageCpu *cpu) { return cpu->pending_ != nullptr; }
  // The instruction making an access, for the machine's record while it is made.
  struct SourcePc : ScopedSourcePc {
    explicit SourcePc(const ImageCpu &cpu)
        : ScopedSourcePc(cpu, [&cpu] { return cpu.reg(cpu.is_64_ ? UC_X86_REG_RIP : UC_X86_REG_EIP); }) {}
  };

  static std::uint32_t in(uc_engine *, std::uint32_t port, int size, void *user) {
    auto *cpu = running(user);
    if (stopped(cpu)) return 0xFFFFFFFF;
    try {
      const SourcePc at(*cpu);
      return Machine::current().io_read(static_cast<std::uint16_t>(port), static_cast<unsigned>(size) * 8,
                                        cpu->access_via_, cpu->access_module_);
    } catch (...) {
      cpu->hold(std::current_exception());
      return 0xFFFFFFFF;
    }
  }
  static void out(uc_engine *, std::uint32_t port, int size, std::uint32_t value, void *user) {
    auto *cpu = running(user);
    if (stopped(cpu)) return;
    try {
      const SourcePc at(*cpu);
      Machine::current().io_write(static_cast<std::uint16_t>(port), static_cast<unsigned>(size) * 8, value,
                                  cpu->access_via_, cpu->access_module_);
    } catch (...) {
      cpu->hold(std::current_exception());
    }
  }
  static std::uint64_t mmio_read(uc_engine *, std::uint64_t offset, unsigned size, void *user) {
    auto *r = static_cast<MmioRegion *>(user);
    ImageCpu *cpu = r->emulator->cpu;
    if (stopped(cpu)) return ~0ull;
    try {
      const SourcePc at(*cpu);
      Machine &m = Machine::current();
      const std::uint64_t a = r->base + offset;
      const char *via = cpu->access_via_, *module = cpu->access_module_;
      if (size == 8) return m.mem_read(a, 32, via, module) | std::uint64_t{m.mem_read(a + 4, 32, via, module)} << 32;
      return m.mem_read(a, size * 8, via, module);
    } catch (...) {
      cpu->hold(std::current_exception());
      return ~0ull;
    }
  }
  static void mmio_write(uc_engine *, std::uint64_t offset, unsigned size, std::uint64_t value, void *user) {
    auto *r = static_cast<MmioRegion *>(user);
    ImageCpu *cpu = r->emulator->cpu;
    if (stopped(cpu)) return;
    try {
      const SourcePc at(*cpu);
      Machine &m = Machine::current();
      const std::uint64_t a = r->base + offset;
      const char *via = cpu->access_via_, *module = cpu->access_module_;
      if (size == 8) {
        m.mem_write(a, 32, static_cast<std::uint32_t>(value), via, module);
        m.mem_write(a + 4, 32, static_cast<std::uint32_t>(value >> 32), via, module);
      } else {
        m.mem_write(a, size * 8, static_cast<std::uint32_t>(value), via, module);
      }
    } catch (...) {
      cpu->hold(std::current_exception());
    }
  }
  static bool unmapped(uc_engine *uc, uc_mem_type type, std::uint64_t address, int, std::int64_t, void *user) {
    auto *cpu = running(user);
    cpu->fault_address_ = address;
    cpu->fault_pc_ = type == UC_MEM_FETCH_UNMAPPED ? 0 : faulting_pc(uc, cpu);
    return false;
  }
  static bool write_protected(uc_engine *uc, uc_mem_type, std::uint64_t address, int, std::int64_t, void *user) {
    auto *cpu = running(user);
    cpu->fault_address_ = address;
    cpu->fault_pc_ = faulting_pc(uc, cpu);
    return false;
  }
  // The emulator brings the program counter up to date for memory hooks.
  static std::uint64_t faulting_pc(uc_engine *uc, const ImageCpu *cpu) {
    std::uint64_t pc = 0;
    uc_reg_read(uc, cpu->is_64_ ? UC_X86_REG_RIP : UC_X86_REG_EIP, &pc);
    return cpu->is_64_ ? pc : pc & 0xFFFFFFFF;
  }
  // `pause`: the machine counts its time, so a spin on it meets the watchdog.
  static void pause(uc_engine *uc, std::uint64_t address, std::uint32_t, void *user) {
    auto *cpu = running(user);
    std::uint8_t op[2];
    if (stopped(cpu) || uc_mem_read(uc, address, op, 2) != UC_ERR_OK || op[0] != 0xF3 || op[1] != 0x90) return;
    try {
      Machine::current().pause();
    } catch (...) {
      cpu->hold(std::current_exception());
    }
  }
  static void write_seen(uc_engine *, uc_mem_type, std::uint64_t, int, std::int64_t, void *) {}
  // A read or write of the image's code in the stand-ins' RAM, judged by the memory check.
  static void check_memory(uc_engine *uc, uc_mem_type type, std::uint64_t address, int size, std::int64_t, void *user) {
    auto *cpu = running(user);
    if (stopped(cpu) || cpu->options_.memory == nullptr) return;
    const char *module = cpu->judged_ ? cpu->judged_() : cpu->module_.c_str();
    if (module == nullptr) {  // code the check does not judge; what it writes is written all the same
      if (type == UC_MEM_WRITE) cpu->options_.memory->wrote(address, static_cast<unsigned>(size));
      return;
    }
    const MemoryCheck::Access a{address, static_cast<unsigned>(size), type == UC_MEM_WRITE, 0, 0, module, cpu->is_64_};
    const auto where = [uc, cpu] { return std::pair{faulting_pc(uc, cpu), Machine::current().trace().size()}; };
    const auto sp = [uc, cpu] {
      std::uint64_t v = 0;
      uc_reg_read(uc, cpu->is_64_ ? UC_X86_REG_RSP : UC_X86_REG_ESP, &v);
      return cpu->is_64_ ? v : v & 0xFFFFFFFF;
    };
    try {
      cpu->options_.memory->check(
          a, where, sp, [cpu](std::uint64_t pc) { return cpu->describe_pc(pc); },
          [uc](std::uint64_t pc) {
            std::vector<std::uint8_t> code(15);
            if (uc_mem_read(uc, pc, code.data(), code.size()) != UC_ERR_OK) code.clear();
            return code;
          });
    } catch (...) {
      cpu->hold(std::current_exception());
    }
  }
  static void count(uc_engine *, std::uint64_t, std::uint32_t, void *user) { ++running(user)->instructions_; }
  static void block(uc_engine *uc, std::uint64_t address, std::uint32_t, void *user) {
    auto *cpu = running(user);
    if (stopped(cpu)) return;
    if (++cpu->blocks_ > cpu->options_.max_blocks) {
      cpu->hold(std::make_exception_ptr(Hang(fmt::format("{}: still running after {} blocks without returning",
                                                         cpu->name_, cpu->options_.max_blocks))));
      uc_emu_stop(uc);
      return;
    }
    if (const auto &all = all_blocks_observer(); all) all(address);
    if (!cpu->block_observer_) return;
    try {
      cpu->block_observer_(address);
    } catch (...) {
      cpu->hold(std::current_exception());
    }
  }
  static void execute(uc_engine *, std::uint64_t, std::uint32_t, void *user) {
    auto *e = static_cast<ImageCpu::Execute *>(user);
    if (stopped(e->cpu)) return;
    try {
      e->fn();
    } catch (...) {
      e->cpu->hold(std::current_exception());
    }
  }
  static void watch(uc_engine *, uc_mem_type type, std::uint64_t address, int size, std::int64_t, void *user) {
    auto *w = static_cast<ImageCpu::Watch *>(user);
    if (stopped(w->cpu)) return;
    try {
      w->fn(address, static_cast<unsigned>(size), type == UC_MEM_WRITE);
    } catch (...) {
      w->cpu->hold(std::current_exception());
    }
  }
};

void ImageCpu::observe_all_blocks(std::function<void(std::uint64_t)> observer) {
  all_blocks_observer() = std::move(observer);
}

ImageCpu *ImageCpu::owning(std::uint64_t address) {
  for (auto &[base, cpu] : live_images())
    if (cpu->owns(address)) return const_cast<ImageCpu *>(cpu);
  return nullptr;
}

void ImageCpu::hold(std::exception_ptr e) {
  if (pending_ == nullptr) pending_ = std::move(e);
  uc_emu_stop(uc_);
}

ImageCpu::ImageCpu(std::string name, Options options, bool is_64, std::uint64_t load, std::uint64_t size,
                   std::uint32_t entry_rva)
    : name_(std::move(name)),
      module_(name_.substr(0, name_.rfind('.'))),
      options_(options),
      is_64_(is_64),
      load_(load),
      size_(page_up(size)),
      entry_rva_(entry_rva),
      arena_mark_(Arena::instance().mark()) {
  if (load_ % kPage != 0) throw std::runtime_error("image load address must be page aligned");
  if (live_images().count(load_) != 0)
    throw std::runtime_error(fmt::format("{}: another image runs at 0x{:X}", name_, load_));
  auto *stack = static_cast<std::uint8_t *>(Arena::instance().allocate(kStackSize, 16));
  stack_bottom_ = reinterpret_cast<std::uintptr_t>(stack);
  stack_top_ = stack_bottom_ + kStackSize;
  if (options_.memory != nullptr)
    options_.memory->add(stack_bottom_, kStackSize, MemoryCheck::Use::Stack, fmt::format("{}'s stack", module_));
}

ImageCpu::ImageCpu(const PeImage &image, std::uint64_t load_address, std::string name, Options options)
    : ImageCpu(std::move(name), options, image.is_64(), load_address, image.size_of_image(), image.entry_rva()) {
  image_host_ = image_memory(load_, size_);
  image_file_ = image.source();
  image.load(image_host_, load_);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> code;
  for (const PeSection &sec : image.sections())
    if (sec.executable()) code.emplace_back(load_ + sec.rva, load_ + sec.rva + sec.virtual_size);
  attach(&image, code, &image);
}

ImageCpu::ImageCpu(const Flash &flash, std::string name, Options options)
    : ImageCpu(std::move(name), options, false, flash.base, flash.size, 0) {
  if (flash.size % kPage != 0 || reinterpret_cast<std::uintptr_t>(flash.host) % kPage != 0)
    throw std::runtime_error(fmt::format("{}: flash must be whole pages", name_));
  if (flash.base + flash.size > (1ull << 32)) throw std::runtime_error(fmt::format("{}: flash above 4 GiB", name_));
  image_host_ = flash.host;
  whole_address_space_ = true;  // a firmware's code also runs from RAM
  attach(flash.host, flash.code, nullptr);
}

void ImageCpu::attach(const void *identity, const std::vector<std::pair<std::uint64_t, std::uint64_t>> &code,
                      const PeImage *image) {
  // The emulator of this image at this address, made on first use. Another image, or other
  // options, at the same address get a new one.
  struct Key {
    std::uint64_t load;
    const void *image;
    bool writable, mmio, checked;
    auto operator<=>(const Key &) const = default;
  };
  // Closed at exit, so that nothing the emulator allocated outlives it.
  struct Emulators : std::map<Key, std::unique_ptr<Emulator>> {
    ~Emulators() {
      for (auto &entry : *this) uc_close(entry.second->uc);
    }
  };
  static Emulators emulators;
  const Key key{load_, identity, options_.writable_image, options_.mmio_below_4g, options_.memory != nullptr};
  auto it = emulators.find(key);
  if (it == emulators.end()) {
    auto e = std::make_unique<Emulator>();
    check(uc_open(UC_ARCH_X86, is_64_ ? UC_MODE_64 : UC_MODE_32, &e->uc), "open");
    // Code sites of `pause` (F3 90); the hook checks the bytes again when it runs, so a match
    // inside another instruction costs nothing but a look.
    for (const auto &[first, end] : code) {
      for (std::uint64_t a = std::max(first, load_); a + 1 < std::min(end, load_ + size_); ++a) {
        const std::uint8_t *p = image_host_ + (a - load_);
        if (p[0] == 0xF3 && p[1] == 0x90) e->pause_sites.push_back(a);
      }
    }
    emulator_ = e.get();
    uc_ = e->uc;
    map_memory(image);
    add_hooks();
    it = emulators.emplace(key, std::move(e)).first;
  }
  emulator_ = it->second.get();
  uc_ = emulator_->uc;
  emulator_->cpu = this;
  live_images()[load_] = this;
  if (options_.count_instructions) {
    const std::uint64_t first = whole_address_space_ ? 1 : load_, last = whole_address_space_ ? 0 : load_ + size_ - 1;
    check(uc_hook_add(uc_, &emulator_->count_hook, UC_HOOK_CODE, reinterpret_cast<void *>(ImageCpuHooks::count),
                      emulator_, first, last),
          "hook count");
    uc_ctl_remove_cache(uc_, whole_address_space_ ? 0 : load_, whole_address_space_ ? ~0ull : load_ + size_);
  }
}

ImageCpu::~ImageCpu() {
  if (emulator_ == nullptr) {  // the constructor failed before it had an emulator
    Arena::instance().rewind(arena_mark_);
    return;
  }
  if (emulator_->count_hook != 0) {
    uc_hook_del(uc_, emulator_->count_hook);
    emulator_->count_hook = 0;
    uc_ctl_remove_cache(uc_, whole_address_space_ ? 0 : load_, whole_address_space_ ? ~0ull : load_ + size_);
  }
  if (options_.memory != nullptr) options_.memory->forget(stack_bottom_, stack_bottom_ + kStackSize);
  unwatch_memory();
  if (!added_hooks_.empty()) {
    for (std::size_t h : added_hooks_) uc_hook_del(uc_, static_cast<uc_hook>(h));
    uc_ctl_remove_cache(uc_, 0, ~0ull);
  }
  emulator_->cpu = nullptr;
  live_images().erase(load_);
  Arena::instance().rewind(arena_mark_);
}

void ImageCpu::set_stack(std::uint64_t bottom, std::uint64_t top) {
  stack_bottom_ = bottom;
  stack_top_ = top;
}

void ImageCpu::set_idtr(std::uint64_t base, std::uint32_t limit) {
  uc_x86_mmr idtr{};
  idtr.base = base;
  idtr.limit = limit;
  check(uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr), "IDTR");
}

std::uint64_t ImageCpu::idtr_base() const {
  uc_x86_mmr idtr{};
  uc_reg_read(uc_, UC_X86_REG_IDTR, &idtr);
  return idtr.base;
}

std::uint64_t ImageCpu::stack_pointer() const { return reg(is_64_ ? UC_X86_REG_RSP : UC_X86_REG_ESP); }

std::uint64_t ImageCpu::return_value() const { return reg(is_64_ ? UC_X86_REG_RAX : UC_X86_REG_EAX); }

void ImageCpu::on_execute(std::uint64_t address, std::function<void()> fn) {
  executes_.push_back(std::make_unique<Execute>(Execute{this, std::move(fn)}));
  uc_hook h;
  check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(ImageCpuHooks::execute), executes_.back().get(),
                    address, address),
        "hook execute");
  added_hooks_.push_back(h);
  uc_ctl_remove_cache(uc_, address, address + 1);  // translate it again, with the hook
}

void ImageCpu::watch_memory(std::uint64_t first, std::uint64_t end,
                            std::function<void(std::uint64_t, unsigned, bool)> fn) {
  watches_.push_back(std::make_unique<Watch>(Watch{this, std::move(fn)}));
  uc_hook h;
  check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(ImageCpuHooks::watch),
                    watches_.back().get(), first, end - 1),
        "hook memory");
  watches_.back()->hook = h;
}

void ImageCpu::unwatch_memory() {
  for (const auto &w : watches_) uc_hook_del(uc_, static_cast<uc_hook>(w->hook));
  watches_.clear();
}

void ImageCpu::map_memory(const PeImage *image) {
  // An image whose sections each start a page gets each section's own protection (code read
  // and execute, constants read, data read and write); else one protection for all of it.
  bool paged = options_.writable_image && image != nullptr;
  if (paged)
    for (const PeSection &s : image->sections()) paged = paged && s.rva % kPage == 0;
  if (paged) {
    std::vector<std::uint32_t> perms(size_ / kPage, UC_PROT_READ);  // headers and gaps: read only
    for (const PeSection &s : image->sections()) {
      const std::uint32_t p = UC_PROT_READ | (s.executable() ? UC_PROT_EXEC : 0) | (s.writable() ? UC_PROT_WRITE : 0);
      for (std::uint64_t at = s.rva; at < s.rva + std::max<std::uint64_t>(s.virtual_size, 1); at += kPage)
        perms[at / kPage] = p;
    }
    for (std::size_t page = 0; page < perms.size(); ++page)
      check(uc_mem_map_ptr(uc_, load_ + page * kPage, kPage, perms[page], image_host_ + page * kPage), "map image");
  } else {
    const std::uint32_t all = UC_PROT_READ | UC_PROT_EXEC | (options_.writable_image ? UC_PROT_WRITE : 0);
    check(uc_mem_map_ptr(uc_, load_, size_, all, image_host_), "map image");
  }
  check(uc_mem_map_ptr(uc_, Arena::kBase, Arena::kSize, UC_PROT_ALL, Arena::instance().base()), "map RAM");
  if (!options_.mmio_below_4g) return;
  // Everything else below 4 GiB is the machine's, but for the trap area.
  struct Hole {
    std::uint64_t lo, hi;
  };
  std::vector<Hole> holes = {{load_, load_ + size_}, {Arena::kBase, Arena::kBase + Arena::kSize},
                             {kTrapBase, kTrapBase + kTrapAreaSize}};
  std::sort(holes.begin(), holes.end(), [](const Hole &a, const Hole &b) { return a.lo < b.lo; });
  std::uint64_t at = 0;
  auto &regions = emulator_->regions;  // the callbacks' user data
  auto map = [&](std::uint64_t lo, std::uint64_t hi) {
    if (hi <= lo) return;
    regions.push_back(std::make_unique<MmioRegion>(MmioRegion{emulator_, lo}));
    check(uc_mmio_map(uc_, lo, hi - lo, ImageCpuHooks::mmio_read, regions.back().get(), ImageCpuHooks::mmio_write,
                      regions.back().get()),
          "map MMIO");
  };
  for (const Hole &h : holes) {
    map(at, h.lo);
    at = std::max(at, h.hi);
  }
  map(at, 1ull << 32);
}

void ImageCpu::add_hooks() {
  uc_hook h;
  check(uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(ImageCpuHooks::in), emulator_, 1, 0, UC_X86_INS_IN),
        "hook IN");
  check(uc_hook_add(uc_, &h, UC_HOOK_INSN, reinterpret_cast<void *>(ImageCpuHooks::out), emulator_, 1, 0, UC_X86_INS_OUT),
        "hook OUT");
  check(uc_hook_add(uc_, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(ImageCpuHooks::unmapped), emulator_, 1, 0),
        "hook unmapped");
  check(uc_hook_add(uc_, &h, UC_HOOK_MEM_WRITE_PROT, reinterpret_cast<void *>(ImageCpuHooks::write_protected), emulator_,
                    1, 0),
        "hook write protection");
  // A write hook on the image makes the emulator keep the program counter exact at every
  // store, so that a write into the image is reported with its own instruction.
  if (!options_.writable_image)
    check(uc_hook_add(uc_, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(ImageCpuHooks::write_seen), emulator_, load_,
                      load_ + size_ - 1),
          "hook writes");
  check(uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(ImageCpuHooks::block), emulator_,
                    whole_address_space_ ? 1 : load_, whole_address_space_ ? 0 : load_ + size_ - 1),
        "hook blocks");
  // The memory check's hook stays with the emulator: adding or removing a hook throws away
  // the code translated so far, which costs a boot several times what the check itself does.
  if (options_.memory != nullptr)
    check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(ImageCpuHooks::check_memory),
                      emulator_, Arena::kBase, Arena::kBase + Arena::kSize - 1),
          "hook memory check");
  for (std::uint64_t site : emulator_->pause_sites)
    check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void *>(ImageCpuHooks::pause), emulator_, site, site),
          "hook pause");
  uc_ctl_remove_cache(uc_, load_, load_ + size_);
}

std::uint64_t ImageCpu::trap(std::string name, Handler handler) {
  if ((traps_.size() + 1) * kTrapStride >= kTrapAreaSize - kPage) throw std::runtime_error("emulator: too many traps");
  traps_.push_back({std::move(name), std::move(handler)});
  return kTrapBase + (traps_.size() - 1) * kTrapStride;
}

std::uint64_t ImageCpu::reg(int id) const {
  std::uint64_t v = 0;
  uc_reg_read(uc_, id, &v);
  return is_64_ ? v : (v & 0xFFFFFFFF);
}

void ImageCpu::set_reg(int id, std::uint64_t value) { uc_reg_write(uc_, id, &value); }

void *ImageCpu::host(std::uint64_t address, std::size_t bytes) const {
  const std::uint64_t end = address + bytes;
  const bool in_arena = address >= Arena::kBase && end <= Arena::kBase + Arena::kSize && end >= address;
  const bool in_image = address >= load_ && end <= load_ + size_ && end >= address;
  if (!in_arena && !in_image)
    throw EmulationFault(fmt::format("{}: pointer 0x{:X} ({} bytes) is not in RAM or the image", name_, address, bytes));
  return in_image ? image_host_ + (address - load_) : reinterpret_cast<void *>(address);
}

std::uint32_t ImageCpu::read32(std::uint64_t address) const {
  std::uint32_t v;
  std::memcpy(&v, host(address, 4), 4);
  return v;
}
void ImageCpu::write32(std::uint64_t address, std::uint32_t value) { std::memcpy(host(address, 4), &value, 4); }
void ImageCpu::write64(std::uint64_t address, std::uint64_t value) { std::memcpy(host(address, 8), &value, 8); }

std::uint64_t ImageCpu::arg(unsigned i) {
  if (!is_64_) return read32(reg(UC_X86_REG_ESP) + 4 + 4 * i);
  switch (i) {
    case 0: return reg(UC_X86_REG_RCX);
    case 1: return reg(UC_X86_REG_RDX);
    case 2: return reg(UC_X86_REG_R8);
    case 3: return reg(UC_X86_REG_R9);
    default: {
      std::uint64_t v;
      std::memcpy(&v, host(reg(UC_X86_REG_RSP) + 0x28 + 8 * (i - 4), 8), 8);
      return v;
    }
  }
}

std::uint64_t ImageCpu::arg64(unsigned i) { return is_64_ ? arg(i) : arg(i) | arg(i + 1) << 32; }

std::uint64_t ImageCpu::call(std::uint64_t function, std::initializer_list<std::uint64_t> args) {
  // A nested call keeps the interrupted one's registers and builds its frame below them.
  struct Frame {
    ImageCpu &cpu;
    uc_context *saved = nullptr;
    explicit Frame(ImageCpu &c) : cpu(c) {
      if (cpu.depth_ > 0) {
        check(uc_context_alloc(cpu.uc_, &saved), "context");
        check(uc_context_save(cpu.uc_, saved), "save context");
      } else {
        cpu.blocks_ = 0;
      }
      ++cpu.depth_;
    }
    ~Frame() {
      --cpu.depth_;
      if (saved != nullptr) {
        uc_context_restore(cpu.uc_, saved);
        uc_context_free(saved);
      }
    }
  } frame(*this);

  const int sp_reg = is_64_ ? UC_X86_REG_RSP : UC_X86_REG_ESP;
  std::uint64_t sp = (depth_ > 1 ? reg(sp_reg) - 128 : stack_top_) & ~std::uint64_t{15};
  const std::vector<std::uint64_t> a(args);
  if (!is_64_) {
    sp -= 4 * a.size();
    sp &= ~std::uint64_t{15};
    for (std::size_t i = 0; i < a.size(); ++i) write32(sp + 4 * i, static_cast<std::uint32_t>(a[i]));
    sp -= 4;
    write32(sp, static_cast<std::uint32_t>(kReturnSentinel));
  } else {
    const std::size_t on_stack = a.size() > 4 ? a.size() - 4 : 0;
    sp -= (0x20 + 8 * on_stack + 15) & ~std::size_t{15};
    for (std::size_t i = 4; i < a.size(); ++i) write64(sp + 0x20 + 8 * (i - 4), a[i]);
    static constexpr int kArgRegs[] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
    for (std::size_t i = 0; i < a.size() && i < 4; ++i) set_reg(kArgRegs[i], a[i]);
    sp -= 8;
    write64(sp, kReturnSentinel);
  }
  if (sp < stack_bottom_ + 256) throw EmulationFault(fmt::format("{}: emulated stack exhausted", name_));
  set_reg(sp_reg, sp);
  return run(function);
}

std::uint64_t ImageCpu::run(std::uint64_t pc) {
  const int sp_reg = is_64_ ? UC_X86_REG_RSP : UC_X86_REG_ESP;
  const int pc_reg = is_64_ ? UC_X86_REG_RIP : UC_X86_REG_EIP;
  auto result = [&] {
    return is_64_ ? reg(UC_X86_REG_RAX) : reg(UC_X86_REG_EAX) | reg(UC_X86_REG_EDX) << 32;
  };
  for (;;) {
    fault_address_ = 0;
    fault_pc_ = 0;
    const uc_err err = uc_emu_start(uc_, pc, kReturnSentinel, 0, 0);
    if (pending_ != nullptr) {
      std::exception_ptr e = pending_;
      pending_ = nullptr;
      std::rethrow_exception(e);
    }
    const std::uint64_t here = reg(pc_reg);
    if (err == UC_ERR_OK && here == kReturnSentinel) return result();
    if (err != UC_ERR_FETCH_UNMAPPED) fail(err, here);
    const std::uint64_t target = fault_address_ != 0 ? fault_address_ : here;
    if (target == kReturnSentinel) return result();

    // The accesses the service makes are the image's call's (the instruction before the return
    // address).
    const ScopedSourcePc call_site(*this, [&] {
      const std::uint64_t sp = reg(sp_reg);
      return (is_64_ ? *static_cast<std::uint64_t *>(host(sp, 8)) : read32(sp)) - 1;
    });
    std::uint64_t value;
    if (target >= kTrapBase && target < kTrapBase + traps_.size() * kTrapStride && (target - kTrapBase) % kTrapStride == 0) {
      value = traps_[(target - kTrapBase) / kTrapStride].handler(*this);
    } else if (is_64_ && target >= reinterpret_cast<std::uintptr_t>(__executable_start) &&
               target < reinterpret_cast<std::uintptr_t>(etext)) {
      value = call_host_function(target);
    } else {
      throw EmulationFault(fmt::format("{}: call or jump to 0x{:X}, where there is no code", name_, target));
    }
    // Return to the caller as its `ret` would.
    const std::uint64_t sp = reg(sp_reg);
    const std::uint64_t ret = is_64_ ? *static_cast<std::uint64_t *>(host(sp, 8)) : read32(sp);
    set_reg(sp_reg, sp + (is_64_ ? 8 : 4));
    if (is_64_) {
      set_reg(UC_X86_REG_RAX, value);
    } else {
      set_reg(UC_X86_REG_EAX, value & 0xFFFFFFFF);
      set_reg(UC_X86_REG_EDX, value >> 32);
    }
    pc = ret;
  }
}

// A stand-in's own function, reached through a table the host filled: called with the
// Microsoft x64 arguments the image passed (ten cover every service the modules use).
std::uint64_t ImageCpu::call_host_function(std::uint64_t address) {
  std::uint64_t a[10];
  for (unsigned i = 0; i < 10; ++i) a[i] = arg(i);
  return sb_call_ms_abi(address, a);
}

void ImageCpu::name_code_for(Machine &machine) const {
  if (image_file_.empty() || machine.names_code_at(load_)) return;
  machine.name_code(load_, load_ + size_, [module = module_, file = image_file_, load = load_](std::uint64_t pc) {
    return describe_in_image(module, file, load, pc);
  });
}

std::string ImageCpu::describe_pc(std::uint64_t pc) const {
  if (namer_) return namer_(pc);
  if (!owns(pc)) return fmt::format("0x{:X}", pc);
  return describe_in_image(module_, image_file_, load_, pc);
}

std::string ImageCpu::describe_instruction(std::uint64_t pc) const {
  std::string s = fmt::format("0x{:X}", pc);
  if (owns(pc)) {
    s += namer_ ? fmt::format(" ({}: bytes", namer_(pc)) : fmt::format(" (image offset 0x{:X}: bytes", pc - load_);
    for (std::uint64_t i = 0; i < 8 && owns(pc + i); ++i) s += fmt::format(" {:02X}", image_host_[pc + i - load_]);
    s += ")";
  }
  return s;
}

void ImageCpu::fail(int err, std::uint64_t pc) {
  const std::string at = describe_instruction(fault_pc_ != 0 ? fault_pc_ : pc);
  switch (err) {
    case UC_ERR_WRITE_PROT:
      if (owns(fault_address_) && options_.writable_image)
        throw EmulationFault(fmt::format("{}: write into a read-only part of its image at 0x{:X} (image offset 0x{:X}) "
                                         "by the instruction at {}",
                                         name_, fault_address_, fault_address_ - load_, at));
      if (owns(fault_address_) && namer_)  // flash that several images run in place from
        throw XipViolation(fmt::format("execute-in-place violation: a write into flash at 0x{:X} ({}) by the instruction at {}",
                                       fault_address_, namer_(fault_address_), at));
      if (owns(fault_address_))
        throw XipViolation(fmt::format(
            "execute-in-place violation: {} wrote into its image at 0x{:X} (image offset 0x{:X}) with the instruction "
            "at {}",
            name_, fault_address_, fault_address_ - load_, at));
      throw EmulationFault(fmt::format("{}: write to protected memory at 0x{:X} by the instruction at {}", name_,
                                       fault_address_, at));
    case UC_ERR_READ_UNMAPPED:
    case UC_ERR_WRITE_UNMAPPED:
      throw EmulationFault(fmt::format("{}: {} of 0x{:X}, where nothing is mapped, by the instruction at {}", name_,
                                       err == UC_ERR_READ_UNMAPPED ? "read" : "write", fault_address_, at));
    case UC_ERR_FETCH_PROT:
      throw EmulationFault(fmt::format("{}: ran into memory that is not code at {}", name_, at));
    case UC_ERR_INSN_INVALID:
      throw EmulationFault(fmt::format("{}: invalid instruction at {}", name_, at));
    case UC_ERR_EXCEPTION:
      throw EmulationFault(fmt::format("{}: a breakpoint or processor exception at {}", name_, at));
    case UC_ERR_OK:
      throw EmulationFault(fmt::format("{}: emulation stopped at {}", name_, at));
    default:
      throw EmulationFault(fmt::format("{}: {} at {}", name_, uc_strerror(static_cast<uc_err>(err)), at));
  }
}

}  // namespace sim
