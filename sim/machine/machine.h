// sim/machine/: the bottom of the simulator. The machine (ports, memory map, PCI configuration
// through 0xCF8/0xCFC, the virtual clock with its cost model and watchdog), the trace of every
// access, the timeline of what the boot was doing, the RAM arena below 4 GiB, register and
// status names, the fault signals (hang, reset) and two helpers devices share (an index/data
// port pair, the POST code port). It uses nothing else of the simulator.
//
// The simulated machine: I/O port space, physical memory map, PCI configuration space
// through 0xCF8/0xCFC, a virtual clock and the trace of every access.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine/memory_check.h"
#include "sim/machine/timeline.h"
#include "sim/machine/trace.h"

namespace sim {

// A device reached through I/O ports. `port` is the absolute port, `width` 8, 16 or 32.
class IoDevice {
 public:
  virtual ~IoDevice() = default;
  virtual std::uint32_t io_read(std::uint16_t port, unsigned width) = 0;
  virtual void io_write(std::uint16_t port, unsigned width, std::uint32_t value) = 0;
  // Name of the register at `port`, for the trace (empty when not known).
  virtual std::string io_name(std::uint16_t) const { return {}; }
};

// A device reached through memory-mapped registers. `addr` is the absolute address.
class MmioDevice {
 public:
  virtual ~MmioDevice() = default;
  virtual std::uint32_t mmio_read(std::uint64_t addr, unsigned width) = 0;
  virtual void mmio_write(std::uint64_t addr, unsigned width, std::uint32_t value) = 0;
  virtual std::string mmio_name(std::uint64_t) const { return {}; }
};

// One PCI function's configuration space (256 bytes). Registers are plain storage unless a
// derived model gives them behaviour; bytes can be made read-only.
class PciFunction {
 public:
  PciFunction(unsigned bus, unsigned device, unsigned function);
  virtual ~PciFunction() = default;

  virtual std::uint32_t config_read(unsigned reg, unsigned width);
  virtual void config_write(unsigned reg, unsigned width, std::uint32_t value);

  // Backend for tests and scenarios: set or inspect contents without any bus access.
  void set(unsigned reg, unsigned width, std::uint32_t value);
  std::uint32_t get(unsigned reg, unsigned width) const;
  void set_read_only(unsigned reg, unsigned bytes);
  // Power-on contents: all zero.
  virtual void reset() { space_.fill(0); }
  // Called after the backend changed contents (a model may follow its BARs).
  virtual void contents_changed() {}

  std::string name() const;  // "0:14.3"
  unsigned bus, device, function;

 protected:
  std::array<std::uint8_t, 256> space_{};
  std::array<bool, 256> read_only_{};
};

class Machine;

// The host bridge's configuration mechanism at 0xCF8-0xCFF. A 32-bit access to 0xCF8 is the
// configuration address; 0xCFC-0xCFF is the data window with byte lanes. Byte and word
// accesses to 0xCF8-0xCFB are not configuration cycles: they go to `legacy` (for example the
// reset control register at 0xCF9) when one is attached.
class PciHost : public IoDevice {
 public:
  PciHost() = default;
  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  PciFunction &add(std::unique_ptr<PciFunction> f);
  PciFunction &add(unsigned bus, unsigned device, unsigned function);
  PciFunction *find(unsigned bus, unsigned device, unsigned function) const;
  // Every function back to its power-on contents.
  void reset_functions() {
    for (auto &[key, f] : functions_) f->reset();
  }
  std::uint32_t address() const { return address_; }
  void attach_legacy(IoDevice *d) { legacy_ = d; }

 private:
  static unsigned key(unsigned bus, unsigned device, unsigned function) {
    return bus << 8 | device << 3 | function;
  }
  PciFunction *selected() const;
  std::uint32_t address_ = 0;
  std::map<unsigned, std::unique_ptr<PciFunction>> functions_;
  IoDevice *legacy_ = nullptr;
};

// Modelled cost of one access, in virtual nanoseconds.
struct CostModel {
  std::uint64_t io_ns = 1000;   // an I/O port access is about 1 us on the LPC side
  std::uint64_t mmio_ns = 150;  // a memory-mapped register access
  std::uint64_t ram_ns = 10;    // a RAM access made through the register layer
  std::uint64_t pause_ns = 40;  // one spin-wait hint
};

// What the modules have cost so far, counted whether the trace records or not.
struct AccessCounts {
  std::uint64_t io = 0;          // port accesses (PCI configuration cycles included)
  std::uint64_t mem = 0;         // memory and MMIO accesses
  std::uint64_t pci_config = 0;  // accesses to the configuration data window 0xCFC-0xCFF
  std::uint64_t timer_reads = 0; // reads of the ACPI PM timer (the delay loops' polls)
  std::uint64_t timer_ns = 0;    // virtual time those reads took
  std::uint64_t wait_ns = 0;     // time waited without a bus access (a Stall service)
  // Time spent delaying: polling the timer, or waiting in a Stall service.
  std::uint64_t stall_ns() const { return timer_ns + wait_ns; }
  AccessCounts operator-(const AccessCounts &o) const {
    return {io - o.io, mem - o.mem, pci_config - o.pci_config, timer_reads - o.timer_reads, timer_ns - o.timer_ns,
            wait_ns - o.wait_ns};
  }
  AccessCounts operator+(const AccessCounts &o) const {
    return {io + o.io, mem + o.mem, pci_config + o.pci_config, timer_reads + o.timer_reads, timer_ns + o.timer_ns,
            wait_ns + o.wait_ns};
  }
};

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // The machine that the modules' hardware seams reach. Set for the lifetime of a Scope.
  static Machine &current();
  static bool has_current();
  class Scope {
   public:
    explicit Scope(Machine &m);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

   private:
    Machine *previous_;
  };

  // Maps ports [first, first + count) to a device (not owned).
  void map_io(std::uint16_t first, unsigned count, IoDevice *device);
  // Unmaps the ports of [first, first + count) that `device` holds.
  void unmap_io(std::uint16_t first, unsigned count, IoDevice *device);
  void map_mmio(std::uint64_t base, std::uint64_t size, MmioDevice *device);
  void unmap_mmio(MmioDevice *device);
  void map_ram(std::uint64_t base, std::uint64_t size, std::uint8_t *host);

  // Accesses as the processor makes them: traced, costed, dispatched. `via` names the service
  // that made the access (nullptr for a module's own instruction), `module` the module it was
  // made for where that is not plain (else the default below). Registers are named only while
  // the trace records.
  std::uint32_t io_read(std::uint16_t port, unsigned width, const char *via = nullptr, const char *module = nullptr);
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value, const char *via = nullptr,
                const char *module = nullptr);
  std::uint32_t mem_read(std::uint64_t addr, unsigned width, const char *via = nullptr, const char *module = nullptr);
  void mem_write(std::uint64_t addr, unsigned width, std::uint32_t value, const char *via = nullptr,
                 const char *module = nullptr);
  // The module of accesses that name none (nullptr: none).
  void set_default_module(const char *module) { default_module_ = module; }
  // The image instruction that the next accesses are made for (0: none); an engine that runs
  // images sets it around each access and each service call an image makes.
  std::uint64_t source_pc() const { return source_pc_; }
  void set_source_pc(std::uint64_t pc) { source_pc_ = pc; }
  // Code of an image at [first, end): `describe` names an instruction in it ("SbPei+0x5BD
  // (sbpei::SmbusExecute+0x2D)"). A range loaded again replaces the old one.
  void name_code(std::uint64_t first, std::uint64_t end, std::function<std::string(std::uint64_t)> describe);
  std::string describe_code(std::uint64_t pc) const;
  bool names_code_at(std::uint64_t first) const { return code_.count(first) != 0; }

  // Ports and memory addresses that no device claims: they read all ones and take writes into
  // nothing. Counted by port or address, whatever the trace does.
  struct Unclaimed {
    std::uint64_t reads = 0, writes = 0;
  };
  const std::map<std::uint16_t, Unclaimed> &unclaimed_ports() const { return unclaimed_ports_; }
  const std::map<std::uint64_t, Unclaimed> &unclaimed_memory() const { return unclaimed_memory_; }

  // A spin-wait hint from a module: costs a little virtual time.
  void pause();
  // Time spent waiting without a bus access (a Stall service, say); the watchdog still counts.
  void wait(std::uint64_t ns);

  // Watchdog: a run still making accesses `limit_ns` of virtual time from now throws sim::Hang
  // naming the access it was spinning on. 0 turns it off.
  void set_watchdog(std::uint64_t limit_ns);

  PciHost &pci() { return pci_; }
  Trace &trace() { return trace_; }
  const Trace &trace() const { return trace_; }
  Timeline &timeline() { return timeline_; }
  const Timeline &timeline() const { return timeline_; }
  // Who owns which RAM, and what the modules' code did against it (see memory_check.h).
  MemoryCheck &memory() { return memory_; }
  const MemoryCheck &memory() const { return memory_; }
  std::uint64_t now_ns() const { return now_ns_; }
  void advance(std::uint64_t ns) { now_ns_ += ns; }
  CostModel &costs() { return costs_; }
  const AccessCounts &counts() const { return counts_; }
  // A device's note that the access it is serving is a read of the ACPI PM timer.
  void count_timer_read() {
    ++counts_.timer_reads;
    counts_.timer_ns += costs_.io_ns;
  }

  // Called for every access after it has been traced (for watchdogs and observers).
  using Observer = std::function<void(const Access &)>;
  void set_observer(Observer o) { observer_ = std::move(o); }

 private:
  struct Region {
    std::uint64_t base, size;
    MmioDevice *device;   // or
    std::uint8_t *host;   // RAM backed by host memory
  };
  const Region *find_region(std::uint64_t addr, unsigned width) const;
  void finish(Access &a, std::uint64_t cost);
  void check_deadline(const Access *last);

  // The port map in pages of 256 ports, made when a device first claims a port there: a new
  // machine (one per fuzzing input) costs no 512 KB table.
  using IoPage = std::array<IoDevice *, 256>;
  IoDevice *io_device(std::uint16_t port) const {
    const IoPage *page = io_pages_[port >> 8].get();
    return page != nullptr ? (*page)[port & 0xFF] : nullptr;
  }
  std::array<std::unique_ptr<IoPage>, 256> io_pages_;
  std::vector<Region> regions_;
  PciHost pci_;
  Trace trace_;
  CostModel costs_;
  AccessCounts counts_;
  std::uint64_t now_ns_ = 0;
  std::uint64_t deadline_ns_ = 0;
  Observer observer_;
  const char *default_module_ = nullptr;
  std::uint64_t source_pc_ = 0;
  struct CodeRange {
    std::uint64_t end;
    std::function<std::string(std::uint64_t)> describe;
  };
  std::map<std::uint64_t, CodeRange> code_;
  std::map<std::uint16_t, Unclaimed> unclaimed_ports_;
  std::map<std::uint64_t, Unclaimed> unclaimed_memory_;
  Timeline timeline_{now_ns_, trace_};
  MemoryCheck memory_;
};

}  // namespace sim
