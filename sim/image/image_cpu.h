// sim/image/: the PE32/PE32+ loader and the CPU emulator that runs a shipped image against the
// machine. It uses sim/machine/ only; the stand-ins reach it through call_module below.
//
// A firmware image run instruction by instruction in a CPU emulator, on the current machine:
// IN and OUT reach its ports, memory outside RAM and the image reaches its MMIO, and calls
// between the image and the C++ stand-ins cross through traps.
//
// Memory as the image sees it is the host's own at the same addresses: the image is laid out
// in host memory at its load address and the simulator's arena (pool, HOBs, tables, stack) is
// mapped where it lies, so a pointer the image hands a stand-in can be used as it is.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "pi/base.h"
#include "sim/image/pe_image.h"

struct uc_struct;
struct uc_context;

namespace sim {

class Machine;
class MemoryCheck;

// The image did something no board allows: a wild access, an invalid instruction, a jump
// to where no code is.
class EmulationFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A module that runs in place from flash wrote into its own image.
class XipViolation : public EmulationFault {
 public:
  using EmulationFault::EmulationFault;
};

class ImageCpu {
 public:
  // The trap area: addresses that nothing is mapped at, so that a call there stops the
  // emulator and the engine runs the C++ behind it.
  static constexpr std::uint64_t kTrapBase = 0x7FFF0000;
  static constexpr std::uint64_t kTrapStride = 16;
  static constexpr std::uint64_t kReturnSentinel = 0x7FFFFFF0;

  struct Options {
    bool writable_image = false;      // true for a driver loaded in RAM; false for execute in place
    bool mmio_below_4g = false;       // memory outside RAM and the image goes to the machine
    bool count_instructions = false;  // counts every instruction (slower)
    // Translated blocks one outermost call may run before it counts as running away (a loop
    // that touches no hardware never meets the machine's watchdog).
    std::uint64_t max_blocks = 200'000'000;
    // Every read and write the image's code makes in RAM is checked against who owns it
    // (nullptr: not checked). Its stack is entered there.
    MemoryCheck *memory = nullptr;
  };

  // Memory-mapped flash (a firmware volume) at `base`: its bytes stay in `host` (page aligned,
  // `size` bytes, a multiple of a page), and code runs in place from it, read and execute only.
  // `code` lists the address ranges of code in it.
  struct Flash {
    std::uint64_t base = 0;
    std::uint8_t *host = nullptr;
    std::uint64_t size = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> code;
  };

  ImageCpu(const PeImage &image, std::uint64_t load_address, std::string name, Options options);
  ImageCpu(const Flash &flash, std::string name, Options options);
  ~ImageCpu();
  ImageCpu(const ImageCpu &) = delete;
  ImageCpu &operator=(const ImageCpu &) = delete;

  bool is_64() const { return is_64_; }
  std::uint64_t load_address() const { return load_; }
  std::uint64_t entry() const { return load_ + entry_rva_; }
  bool owns(std::uint64_t address) const { return address >= load_ && address < load_ + size_; }
  // The live image whose code or data is at `address`, if any.
  static ImageCpu *owning(std::uint64_t address);
  std::uint64_t instructions() const { return instructions_; }

  // A trap address: emulated code that calls it runs `handler`, whose result goes back in
  // EAX (EDX:EAX for a 64-bit result on IA32) or RAX.
  using Handler = std::function<std::uint64_t(ImageCpu &)>;
  std::uint64_t trap(std::string name, Handler handler);
  // Arguments of the trapped call: IA32 stack slot `i` (4 bytes each, cdecl); on X64 the
  // i-th argument (RCX, RDX, R8, R9, then the stack).
  std::uint64_t arg(unsigned i);
  // A 64-bit argument that occupies IA32 slots `i` and `i + 1`.
  std::uint64_t arg64(unsigned i);

  // Calls emulated code at `function` with these arguments (IA32: one 32-bit slot each;
  // X64: Microsoft x64 convention) and returns EAX (EDX:EAX) or RAX. Calls may nest: a trap
  // handler may call into the image again.
  std::uint64_t call(std::uint64_t function, std::initializer_list<std::uint64_t> args);

  // Emulated memory as the host sees it. Throws EmulationFault unless the range is in the
  // arena or the image.
  void *host(std::uint64_t address, std::size_t bytes) const;
  template <typename T>
  T *at(std::uint64_t address) const { return static_cast<T *>(host(address, sizeof(T))); }

  // ---- Running a whole firmware (a PEI core from a volume) ---------------------------------
  // The stack an outermost call starts on (else a 64 KiB stack in the arena).
  void set_stack(std::uint64_t bottom, std::uint64_t top);
  // The interrupt descriptor table register, as a reset vector leaves it.
  void set_idtr(std::uint64_t base, std::uint32_t limit);
  std::uint64_t idtr_base() const;
  std::uint64_t stack_pointer() const;
  // EAX (RAX): what a function that just returned returned.
  std::uint64_t return_value() const;
  // The image and service the next port or MMIO access is made for (the trace's "module" and
  // "via"); nullptr for none.
  void attribute_accesses(const char *module, const char *via) {
    access_module_ = module;
    access_via_ = via;
  }
  // Called with the address of every translated block that runs in the image, before it runs.
  void observe_blocks(std::function<void(std::uint64_t address)> observer) { block_observer_ = std::move(observer); }
  // With the memory check on: the module whose accesses are judged now (nullptr: none; what that
  // code writes still counts as written). By default, the image's own name for all its code.
  void judge_memory_of(std::function<const char *()> module) { judged_ = std::move(module); }
  // Called with the address of every translated block that runs in any image from now on (a
  // fuzzer's coverage of the image's code); an empty function stops it.
  static void observe_all_blocks(std::function<void(std::uint64_t address)> observer);
  // Called before the instruction at `address` runs. Added outside a run (from a trap handler,
  // say); removed with this object.
  void on_execute(std::uint64_t address, std::function<void()> fn);
  // Called for every read or write of [first, end) until `unwatch_memory`.
  void watch_memory(std::uint64_t first, std::uint64_t end,
                    std::function<void(std::uint64_t address, unsigned bytes, bool write)> fn);
  void unwatch_memory();
  // The instruction at `address` as messages name it: the namer's words, else image+offset.
  std::string describe_pc(std::uint64_t address) const;
  // Tells the machine how to name this image's instructions (once per machine).
  void name_code_for(Machine &machine) const;
  // The image's code at `address`, for messages ("SbPei+0x1F3"); the default names the image.
  void name_addresses(std::function<std::string(std::uint64_t)> namer) { namer_ = std::move(namer); }
  std::uint32_t read32(std::uint64_t address) const;
  void write32(std::uint64_t address, std::uint32_t value);
  void write64(std::uint64_t address, std::uint64_t value);

 private:
  struct Trap {
    std::string name;
    Handler handler;
  };
  struct Execute {
    ImageCpu *cpu;
    std::function<void()> fn;
  };
  struct Watch {
    ImageCpu *cpu;
    std::function<void(std::uint64_t, unsigned, bool)> fn;
    std::size_t hook = 0;
  };
  friend struct ImageCpuHooks;

 public:
  struct Emulator;  // the emulator instance an image runs on (kept between loads)

 private:

  ImageCpu(std::string name, Options options, bool is_64, std::uint64_t load, std::uint64_t size, std::uint32_t entry_rva);
  // Takes the emulator for this image (made on first use, with its mappings and hooks) and the
  // image's load area.
  void attach(const void *identity, const std::vector<std::pair<std::uint64_t, std::uint64_t>> &code,
              const PeImage *image);
  std::uint64_t reg(int id) const;
  void set_reg(int id, std::uint64_t value);
  std::uint64_t run(std::uint64_t pc);
  [[noreturn]] void fail(int err, std::uint64_t pc);
  std::string describe_instruction(std::uint64_t pc) const;
  std::uint64_t call_host_function(std::uint64_t address);
  void add_hooks();
  void map_memory(const PeImage *image);
  void hold(std::exception_ptr e);

  uc_struct *uc_ = nullptr;
  Emulator *emulator_ = nullptr;
  std::string name_;
  std::string module_;  // the name without its extension, as findings name the module
  Options options_;
  bool is_64_;
  std::uint64_t load_, size_;
  std::uint8_t *image_host_ = nullptr;  // where the image's bytes are in host memory
  std::string image_file_;               // the image's file, for its symbols (empty: none)
  std::uint32_t entry_rva_;
  std::size_t arena_mark_;
  std::uint64_t stack_bottom_ = 0, stack_top_ = 0;
  unsigned depth_ = 0;
  std::vector<Trap> traps_;
  const char *access_module_ = nullptr, *access_via_ = nullptr;
  std::function<void(std::uint64_t)> block_observer_;
  bool whole_address_space_ = false;  // blocks and instructions observed wherever they run
  std::function<std::string(std::uint64_t)> namer_;
  std::function<const char *()> judged_;
  std::vector<std::unique_ptr<Execute>> executes_;
  std::vector<std::unique_ptr<Watch>> watches_;
  std::vector<std::size_t> added_hooks_;  // removed with this object (uc_hook values)

  // Set by the hooks while the emulator runs.
  std::exception_ptr pending_;
  std::uint64_t fault_address_ = 0;
  std::uint64_t fault_pc_ = 0;
  std::uint64_t instructions_ = 0;
  std::uint64_t blocks_ = 0;
};

// Calls a function the host was handed by a module: directly if it is host code, in the
// emulator if it lies in a live image.
template <typename R, typename... P, typename... A>
R call_module(R(EFIAPI *fn)(P...), A... args) {
  if (ImageCpu *cpu = ImageCpu::owning(reinterpret_cast<std::uintptr_t>(fn))) {
    auto word = [](auto v) -> std::uint64_t {
      if constexpr (std::is_pointer_v<decltype(v)>) return reinterpret_cast<std::uintptr_t>(v);
      else return static_cast<std::uint64_t>(v);
    };
    const std::uint64_t r = cpu->call(reinterpret_cast<std::uintptr_t>(fn), {word(static_cast<P>(args))...});
    if constexpr (!std::is_void_v<R>) return static_cast<R>(r);
    else return;
  }
  return fn(static_cast<P>(args)...);
}

}  // namespace sim
