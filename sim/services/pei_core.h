// sim/services/: the firmware side of the simulator: the PEI core and DXE stand-ins, the
// platform hook PPI, GUID names, and the simulator's instances of the modules' hardware seams
// (seam_*.cpp, linked into the host builds of the modules). It uses sim/machine/ and, to run
// code that lies in a loaded image, sim/image/.
//
// PEI core stand-in: the PEI services table, pool and HOB list, the PPI database, the boot
// mode and the CPU I/O PPI on the simulated machine. Service failures can be injected.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pi/pei_services.h"
#include "pi/ppi/cpu_io.h"
#include "sim/image/firmware_volume.h"
#include "sim/machine/faults.h"
#include "sim/machine/machine.h"

namespace sim {

enum class PeiService {
  InstallPpi,
  ReInstallPpi,
  LocatePpi,
  NotifyPpi,
  GetBootMode,
  SetBootMode,
  GetHobList,
  CreateHob,
  AllocatePool,
  SetMem,
  Other,
  Count
};
const char *service_name(PeiService s);

// SbPeiEntry's steps as the services it calls show them, as spans of the timeline: the defaults
// until the private PPI is installed, boot-mode detection until the boot mode is read the
// second time (detection reads it, then the entry reads the result), the early programming
// (with hook points 0x200 and 0x201) until the next PPI service, then the service PPIs. Both the
// PEI core stand-in and a real PEI core run from a volume follow the entry with it.
class EntrySteps {
 public:
  explicit EntrySteps(Timeline &timeline) : timeline_(timeline) {}
  void begin();  // the entry starts: "SbPeiEntry", "defaults"
  void end();    // the entry returned or was cut short
  // A service the entry called; `detail` is the GUID name of an installed PPI.
  void on_service(PeiService s, const std::string &detail);

 private:
  enum class Step { None, Defaults, BootModeDetection, EarlyProgramming, ServicePpis };
  void next(const char *from, const char *to, Step step);
  Timeline &timeline_;
  Step step_ = Step::None;
  unsigned boot_mode_reads_ = 0;
};

struct PeiCall {
  PeiService service;
  EFI_STATUS status;
  std::string detail;  // arguments worth checking (GUID name, sizes, instance)
  std::size_t accesses_before = 0;  // hardware accesses in the machine's trace when the call was made
};

class PeiCore {
 public:
  static constexpr std::size_t kPeiMemorySize = 64 * 1024;  // pool and HOBs
  static constexpr std::size_t kMaxPpis = 64;

  explicit PeiCore(Machine &machine, EFI_BOOT_MODE boot_mode = BOOT_WITH_FULL_CONFIGURATION);
  ~PeiCore();
  PeiCore(const PeiCore &) = delete;
  PeiCore &operator=(const PeiCore &) = delete;

  const EFI_PEI_SERVICES **services() const { return services_ptr_; }
  Machine &machine() { return machine_; }

  // Runs a PEIM entry point with this core's services. A reset that takes hold during the
  // run ends it there: the status is then EFI_ABORTED and `reset()` says what happened.
  EFI_STATUS run(EFI_PEIM_ENTRY_POINT2 entry);
  // The same for a module whose entry is not a host function (an image in the emulator).
  EFI_STATUS run(const std::function<EFI_STATUS()> &entry);
  // Runs any code as if a PEIM that holds these services called it (a consumer module).
  template <typename Fn>
  auto call(Fn &&fn);
  const std::optional<ResetSignal> &reset() const { return reset_; }

  // PPI database, in installation order.
  const std::vector<const EFI_PEI_PPI_DESCRIPTOR *> &ppis() const { return ppis_; }
  // Installs `interface` under `guid` as another module would (descriptor built in RAM).
  void install_ppi(const EFI_GUID &guid, void *interface);
  // A notification: `fire` runs when a PPI of `guid` is installed, and at once for one that is
  // there already. (This core has no dispatcher: notifications of either kind fire then.)
  using Notify = std::function<void(const EFI_PEI_PPI_DESCRIPTOR &installed)>;
  void add_notify(const EFI_GUID &guid, Notify fire);
  // What a PEI core does on the switch to permanent memory: the HOB list (and the pool in it)
  // moves to new memory, the PPI database's pointers into it are moved with it, and the old
  // memory is given up (filled with 0xAF here, so that a stale pointer shows).
  void move_hob_list();
  void *locate(const EFI_GUID &guid, unsigned instance = 0) const;

  // HOB list: the handoff table first, then every HOB made since.
  EFI_HOB_HANDOFF_INFO_TABLE *hob_list() const { return phit_; }
  EFI_BOOT_MODE boot_mode() const { return phit_->BootMode; }
  void set_boot_mode(EFI_BOOT_MODE mode) { phit_->BootMode = mode; }
  // First GUID HOB with this name, or nullptr.
  EFI_HOB_GUID_TYPE *find_guid_hob(const EFI_GUID &name) const;

  // Fault injection: the `nth` call (1-based) of `service` fails with `status` and does nothing.
  void fail_call(PeiService service, unsigned nth, EFI_STATUS status);
  // Every call made to the services, in order.
  const std::vector<PeiCall> &calls() const { return calls_; }
  unsigned call_count(PeiService s) const { return counts_[static_cast<int>(s)]; }
  // Calls to services that this stand-in does not model (none is expected of our modules).
  const std::vector<std::string> &unexpected_calls() const { return unexpected_; }

  // The core that owns a services pointer or CPU I/O PPI (used by the service trampolines).
  static PeiCore &from(const EFI_PEI_SERVICES **services);
  static PeiCore &from(const EFI_PEI_CPU_IO_PPI *cpu_io);

  // Services, callable directly.
  EFI_STATUS do_install_ppi(const EFI_PEI_PPI_DESCRIPTOR *list);
  // NotifyPpi: the call recorded (or failed as injected), the list checked, each entry entered
  // with what it runs when it fires (`fire_for(i)` for entry i; by default the host function
  // the descriptor names, with this core's services).
  EFI_STATUS notify_ppi(const EFI_PEI_NOTIFY_DESCRIPTOR *list,
                        const std::function<Notify(std::size_t index)> &fire_for = {});
  EFI_STATUS do_locate_ppi(const EFI_GUID *guid, UINTN instance, EFI_PEI_PPI_DESCRIPTOR **descriptor, VOID **ppi);
  EFI_STATUS do_create_hob(UINT16 type, UINT16 length, VOID **hob);
  EFI_STATUS do_allocate_pool(UINTN size, VOID **buffer);
  void note_unexpected(const char *what);
  // Records a call and returns the injected status for it, if any (else EFI_SUCCESS).
  EFI_STATUS enter(PeiService s, std::string detail, bool *injected);
  void set_last_status(EFI_STATUS status) { calls_.back().status = status; }

 private:
  struct Holder;  // services pointer followed by the owning core, in RAM
  struct CpuIoHolder;
  struct Fault {
    PeiService service;
    unsigned nth;
    EFI_STATUS status;
  };

  Machine &machine_;
  std::size_t arena_mark_;
  EFI_PEI_SERVICES *table_ = nullptr;
  Holder *holder_ = nullptr;
  const EFI_PEI_SERVICES **services_ptr_ = nullptr;
  CpuIoHolder *cpu_io_ = nullptr;
  std::uint8_t *memory_ = nullptr;
  EFI_HOB_HANDOFF_INFO_TABLE *phit_ = nullptr;
  std::vector<const EFI_PEI_PPI_DESCRIPTOR *> ppis_;
  std::vector<std::pair<EFI_GUID, Notify>> notifies_;
  std::vector<Fault> faults_;
  std::vector<PeiCall> calls_;
  std::array<unsigned, static_cast<int>(PeiService::Count)> counts_{};
  std::vector<std::string> unexpected_;
  EntrySteps steps_;  // the module's entry, as its service calls show it
  std::optional<ResetSignal> reset_;
};

// The core whose module is running (SetMem and CopyMem have no services argument).
class RunningCore {
 public:
  explicit RunningCore(PeiCore &core);
  ~RunningCore();
  RunningCore(const RunningCore &) = delete;
  RunningCore &operator=(const RunningCore &) = delete;
  static PeiCore *get();

 private:
  PeiCore *previous_;
};

template <typename Fn>
auto PeiCore::call(Fn &&fn) {
  RunningCore running(*this);
  Machine::Scope scope(machine_);
  return fn(services_ptr_);
}

}  // namespace sim
