// sim/board/: a board from a scenario file and a whole boot on it: scenario parsing, the boot
// driver (this file), the summary, the cost table, configuration field names, and the review
// tools (trace diff, timeline export). It may use every folder below it.
//
// A simulated board and the PEI passes of SbPei on it: the PEI core stand-in, the platform
// hook and the other modules' PPIs that the board says are present, then SbPeiEntry. A pass
// that ends in a reset is followed by another on what survived the reset.
#pragma once
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sb_pei/sb_pei.h"
#include "sim/machine/machine.h"
#include "sim/engines/modules.h"
#include "sim/services/platform_hook.h"
#include "sim/devices/southbridge.h"
#include "sim/devices/uart_16550.h"

namespace sim {

struct MemoryBlockSpec {
  std::string name;
  std::uint64_t base = 0;
  std::uint64_t size = 0x100;
  std::map<std::uint64_t, std::uint8_t> bytes;  // power-on contents that differ from 0
};

struct PciRegisterSpec {
  unsigned bus, device, function, reg, width;
  std::uint32_t value;
};

struct UsbPortSpec {
  unsigned controller;  // 0, 1, 2: the host controllers at 0:12.2, 0:13.2, 0:16.2
  unsigned port;        // 0-4
  std::uint32_t value;  // PORTSC at power-on (bit 6: Force Port Resume)
  std::uint64_t settle_ns = 50'000;  // after Force Port Resume is cleared
  std::uint32_t settles_to = 0x1005;
  bool never_settles = false;
};

// An SPD-like EEPROM on one of the two SMBus controllers.
struct SmbusDeviceSpec {
  unsigned controller;  // 0 or 1
  std::uint8_t address;
  std::array<std::uint8_t, 256> contents{};
};

// A transaction that another PEI module runs after SbPei, through instance `instance` of the
// SMBus PPI.
struct SmbusTransactionSpec {
  unsigned instance;
  std::uint8_t address;
  std::uint32_t command;
  unsigned operation;            // EFI_SMBUS_OPERATION
  std::uint32_t length;          // *Length on entry
  std::vector<std::uint8_t> data;  // what a write sends
};

struct SmbusResult {
  SmbusTransactionSpec request;
  EFI_STATUS status;
  std::uint64_t length;  // *Length on return
  std::vector<std::uint8_t> data;  // the buffer on return (up to the length asked)
};

// Faults of one SMBus controller.
struct SmbusFaultSpec {
  unsigned collide_first = 0;  // collisions on the first n starts
  bool host_busy = false, slave_busy = false, never_completes = false;
  int block_count = -1;           // the count a block read reports (< 0: the device's own)
  int semaphore_held_polls = 0;   // the other agent holds the semaphore for n polls
};

struct Board {
  std::string name = "board";
  EFI_BOOT_MODE boot_mode_before = BOOT_WITH_FULL_CONFIGURATION;  // set by earlier modules
  bool platform_hook = true;
  // Configuration fields the platform writes at each hook point, by field name.
  std::map<UINT32, std::vector<std::pair<std::string, std::uint32_t>>> hook_settings;
  // The platform's MMIO register table (4-byte entries; the terminator is added).
  std::vector<std::uint8_t> platform_mmio_table;
  bool foreign_reset_ppi = false;  // another module installed EFI_PEI_RESET_PPI before us
  bool foreign_stall_ppi = false;  // likewise EFI_PEI_STALL_PPI

  // Hardware state at power-on (registers not named are 0).
  unsigned sleep_type = 0;                                   // SLP_TYP kept in PM1 control
  std::map<std::uint8_t, std::uint8_t> pm_registers;        // PM 0x00-0xFF
  std::map<std::uint8_t, std::uint8_t> pm_window[2];        // PM window banks 0 and 1
  std::map<std::uint8_t, std::uint8_t> misc_registers;      // misc 0x00-0xFF
  std::map<std::uint8_t, std::uint8_t> cmos;                // CMOS 0x00-0x7F
  std::map<std::uint8_t, std::uint8_t> io_c00;              // behind ports 0xC00/0xC01
  std::map<std::uint32_t, std::uint32_t> alink;             // A-Link registers by address
  std::map<std::uint32_t, std::uint32_t> alink_class0;      // behind the 0x30/0x34 pair
  std::map<std::uint32_t, std::uint32_t> alink_class2;      // behind the 0x40000038/0x4000003C pair
  std::optional<std::uint16_t> pm1_control;                 // the whole register (sleep_type sets SLP_TYP)
  std::vector<PciRegisterSpec> pci;
  std::vector<MemoryBlockSpec> memory_blocks;
  std::vector<UsbPortSpec> usb_ports;
  std::vector<SmbusDeviceSpec> smbus_devices;
  std::vector<SmbusTransactionSpec> smbus_consumer;
  SmbusFaultSpec smbus_faults[2];
  bool ignore_resets = false;

  // DXE: the keys the user types at the prompt, in order ("F1", "Del", "KeypadDel", ...), the
  // "Setup" variable's size (none if absent) and the platform pieces the driver relies on.
  std::vector<std::string> keys;
  std::optional<std::size_t> setup_variable_size = 64;
  bool post_message_protocol = true;
  bool enter_setup_flag = true;
};

// What the board's platform writes into the configuration block at each hook point (its
// MMIO table placed in RAM first). Throws std::invalid_argument for a field that does not exist,
// as check_hook_settings does.
PlatformHookFn board_platform_hook(const Board &board);
void check_hook_settings(const Board &board);

// Another PEI module's SMBus transaction through instance `t.instance` of SbPei's SMBus PPI, as a
// span of the timeline named for it (after `span_prefix`).
SmbusResult run_consumer(Timeline &timeline, SbPeiPpis &module, const SmbusTransactionSpec &t,
                         const std::string &span_prefix = {});

// The board that sbsim runs when it is given none: power came back after a loss, CMOS
// defaults were loaded, the user presses Del (boards/power-loss.toml, built in).
Board default_board();

// A board's hardware: the machine and every device on it, loaded with the board's power-on
// state. It lives across passes: a warm reset keeps what real hardware keeps.
class BoardHardware {
 public:
  BoardHardware() : BoardHardware(Board{}) {}
  explicit BoardHardware(const Board &board);
  BoardHardware(const BoardHardware &) = delete;
  BoardHardware &operator=(const BoardHardware &) = delete;

  // What a reset through port 0xCF9 keeps: the PM registers with the PM window, the ACPI
  // PM1 control register and timer, and the CMOS. Everything else returns to power-on.
  void warm_reset();
  MemoryBlock *memory_block(const std::string &name);

  Machine machine;
  Southbridge southbridge;
  Uart16550 com1;  // the board's serial port, where firmware logs

 private:
  void load_power_on_state(bool always_on_too);
  Board board_;
  std::vector<std::unique_ptr<MemoryBlock>> blocks_;
};

struct InstalledPpi {
  std::string name;
  std::string by;  // "SbPei" or "board"
};

struct PeiBootResult {
  EFI_STATUS status = EFI_SUCCESS;
  EFI_BOOT_MODE boot_mode = BOOT_WITH_FULL_CONFIGURATION;
  std::vector<InstalledPpi> ppis;
  std::optional<SB_CONFIG> config;  // copy of the configuration HOB's data, if made
  std::vector<PlatformHook::Call> hook_calls;
  std::vector<std::string> unexpected_calls;
  std::optional<ResetSignal> reset;  // the reset that ended the pass, if one did
  std::vector<SmbusResult> smbus;    // the consumer's transactions, after the entry returned
  std::uint64_t start_ns = 0, end_ns = 0;
  std::size_t first_access = 0, accesses = 0;  // this pass's slice of the machine's trace
  AccessCounts cost;               // what the pass cost (SbPei and the consumer's transactions)
  std::uint64_t instructions = 0;  // image engine with instruction counting on
};

struct DxeResult {
  EFI_STATUS entry_status = EFI_SUCCESS;
  std::vector<std::string> screen;
  std::vector<Tone> beeps;
  std::optional<std::uint8_t> enter_setup;  // the flag the prompt left (0xFF: untouched)
  std::optional<std::string> stopped;       // why the run was cut short, if it was
  std::size_t keys_left = 0;
  std::size_t pool_leaks = 0;
  std::vector<std::string> pool_errors;
  std::uint8_t cmos_46 = 0;
  std::vector<std::uint8_t> post_codes;
  std::uint64_t start_ns = 0, end_ns = 0;
  AccessCounts cost;
  std::uint64_t instructions = 0;
};

// The DXE phase: CmosErrorPrompt loaded, the prompt trigger installed, the keys typed. With a
// `hob_list` (the one a real PEI core built), the driver gets that list instead of a handoff
// table of `boot_mode`.
DxeResult run_dxe(const Board &board, BoardHardware &hw, EFI_BOOT_MODE boot_mode, Engine engine = Engine::Host,
                  void *hob_list = nullptr);

// One PEI pass on the hardware as it is.
PeiBootResult run_pei(const Board &board, BoardHardware &hw, Engine engine = Engine::Host);

// PEI passes until one ends without a reset (at most `max_passes`).
std::vector<PeiBootResult> run_pei_passes(const Board &board, BoardHardware &hw, unsigned max_passes = 4,
                                          Engine engine = Engine::Host);

}  // namespace sim
