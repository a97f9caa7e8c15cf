// DXE stand-in: the system table, boot services (events, protocol notifications, the protocol
// database, pool with leak and overrun accounting, Stall on the virtual clock), runtime
// variables, the console with a queue of typed keys, the post message protocol rendering to
// a screen, and the HOB list in the configuration table.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pi/protocol/post_screen.h"
#include "pi/protocol/simple_text.h"
#include "pi/hob.h"
#include "pi/uefi.h"
#include "sim/machine/machine.h"

namespace sim {

enum class DxeService { CreateEvent, RegisterProtocolNotify, AllocatePool, HandleProtocol, LocateProtocol, Count };

struct Key {
  std::uint16_t scan = 0;
  char16_t unicode = 0;
  std::uint8_t raw = 0;        // set-1 scan code at offset 17 of the record
  std::uint64_t at_ns = 0;     // typed at this virtual time (0: already there)
  std::string name;            // for summaries
  // Typed this long after it is the next key and the keyboard is polled for it: a user who
  // reads the prompt and then answers (0: no such wait).
  std::uint64_t react_ns = 0;
};
// Keys by name: "F1", "Del", "KeypadDel" (keypad period with Num Lock, raw 0x53), "Esc",
// "Enter", or one printable character. nullopt if unknown.
std::optional<Key> key_named(const std::string &name);

class DxeCore {
 public:
  explicit DxeCore(Machine &machine, EFI_BOOT_MODE boot_mode = BOOT_WITH_FULL_CONFIGURATION);
  ~DxeCore();
  DxeCore(const DxeCore &) = delete;
  DxeCore &operator=(const DxeCore &) = delete;

  EFI_SYSTEM_TABLE *system_table() const { return st_; }
  Machine &machine() { return machine_; }
  // Starts a driver's entry point with this core's system table.
  EFI_STATUS start_image(EFI_IMAGE_ENTRY_POINT entry);
  // Installs a protocol on a new handle (or `handle`), signalling the events registered for it.
  EFI_HANDLE install_protocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle = nullptr);

  // Platform pieces, present by default; a test can take them away.
  void remove_post_message_protocol();
  // A firmware that publishes no HOB list in the configuration table.
  void withdraw_hob_list();
  // The HOB list a PEI phase built, in place of the stand-in's own (its handoff table first).
  void use_hob_list(void *hob_list);
  void remove_key_input();
  void remove_con_in() { st_->ConIn = nullptr; }
  // The enter-setup request flag: a configuration table entry whose table is one byte.
  void publish_enter_setup_flag(std::uint8_t initial = 0xFF);
  std::optional<std::uint8_t> enter_setup_flag() const;
  void withdraw_enter_setup_flag();

  // Keys and screen.
  void type(const Key &k) { keys_.push_back(k); }
  // How many empty polls, with no key left to come, make a caller one that waits for a key
  // that will never be typed (a Hang). 10,000 (a second of polling) by default.
  void set_idle_polls_before_giving_up(unsigned polls) { idle_polls_before_giving_up_ = polls; }
  std::size_t keys_left() const { return keys_.size(); }
  const std::vector<std::string> &screen() const { return screen_; }
  unsigned prepare_calls() const { return prepares_; }
  unsigned con_in_resets() const { return con_in_resets_; }
  unsigned key_reads() const { return key_reads_; }

  // Variables. `sizes` makes a variable change size from read to read (grow_on_reads).
  void set_variable(const std::u16string &name, const EFI_GUID &guid, std::vector<std::uint8_t> data);
  void grow_on_reads(const std::u16string &name, std::vector<std::size_t> sizes);
  void remove_variable(const std::u16string &name) { variables_.erase(name); }
  std::optional<std::vector<std::uint8_t>> variable(const std::u16string &name) const;
  unsigned set_variable_calls() const { return set_variable_calls_; }
  unsigned get_variable_calls() const { return get_variable_calls_; }

  // Pool accounting.
  std::size_t live_pool_buffers() const { return pool_.size(); }
  const std::vector<std::string> &pool_errors() const { return pool_errors_; }
  void fail_call(DxeService s, unsigned nth, EFI_STATUS status) { faults_.push_back({s, nth, status}); }
  // How often a service that faults can be injected into was called so far.
  unsigned calls(DxeService s) const { return counts_[static_cast<int>(s)]; }
  // Every Stall asked for, in microseconds, in order.
  const std::vector<UINTN> &stalls() const { return stalls_; }
  void note_stall(UINTN us) { stalls_.push_back(us); }
  const std::vector<std::string> &unexpected_calls() const { return unexpected_; }

  // Used by the service trampolines.
  static DxeCore &current();
  EFI_STATUS injected(DxeService s);
  void note_unexpected(const char *what) { unexpected_.emplace_back(what); }

  struct Event {
    UINT32 type;
    EFI_TPL tpl;
    EFI_EVENT_NOTIFY fn;
    VOID *context;
  };
  struct Notify {
    EFI_GUID guid;
    Event *event;
  };
  struct Interface {
    EFI_HANDLE handle;
    EFI_GUID guid;
    void *interface;
  };
  struct PoolBuffer {
    std::size_t size;
    std::uint8_t *guard;
  };
  struct Variable {
    EFI_GUID guid;
    std::vector<std::uint8_t> data;
    UINT32 attributes = 7;
    std::vector<std::size_t> sizes;  // size at each read, if it changes
    unsigned reads = 0;
  };
  struct Fault {
    DxeService service;
    unsigned nth;
    EFI_STATUS status;
  };

  // Service bodies.
  EFI_STATUS create_event(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, VOID *ctx, EFI_EVENT *event);
  EFI_STATUS register_notify(const EFI_GUID *guid, EFI_EVENT event, VOID **registration);
  EFI_STATUS handle_protocol(EFI_HANDLE handle, const EFI_GUID *guid, VOID **interface);
  EFI_STATUS locate_protocol(const EFI_GUID *guid, VOID **interface);
  EFI_STATUS allocate_pool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer);
  EFI_STATUS free_pool(VOID *buffer);
  EFI_STATUS get_variable(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes, UINTN *size, VOID *data);
  EFI_STATUS set_variable(const CHAR16 *name, const EFI_GUID *guid, UINT32 attributes, UINTN size, VOID *data);
  EFI_STATUS read_key(EXTENDED_KEY_RECORD *record);
  void show(const CHAR16 *line);
  void prepare() { ++prepares_; }
  void con_in_reset() { ++con_in_resets_; }

 private:
  struct Tables;
  Machine &machine_;
  std::size_t arena_mark_;
  Tables *t_ = nullptr;
  EFI_SYSTEM_TABLE *st_ = nullptr;
  EFI_HOB_HANDOFF_INFO_TABLE *hob_list_ = nullptr;
  std::uint8_t *enter_setup_flag_ = nullptr;
  EFI_HANDLE console_in_handle_ = nullptr;
  std::vector<EFI_CONFIGURATION_TABLE> config_;
  std::deque<Event> events_;
  std::vector<Notify> notifies_;
  std::vector<Interface> protocols_;
  std::map<const void *, PoolBuffer> pool_;
  std::vector<std::string> pool_errors_;
  std::map<std::u16string, Variable> variables_;
  std::deque<Key> keys_;
  std::vector<std::string> screen_;
  std::vector<Fault> faults_;
  unsigned counts_[static_cast<int>(DxeService::Count)] = {};
  std::vector<UINTN> stalls_;
  std::vector<std::string> unexpected_;
  unsigned prepares_ = 0, con_in_resets_ = 0, key_reads_ = 0, set_variable_calls_ = 0, get_variable_calls_ = 0;
  unsigned idle_polls_ = 0;
  unsigned idle_polls_before_giving_up_ = 10'000;
  std::uintptr_t next_handle_ = 0x1000;
  EFI_TPL tpl_ = TPL_APPLICATION;
  void publish_config();
};

std::string to_utf8(const CHAR16 *s);

}  // namespace sim
