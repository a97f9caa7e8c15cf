#include "sim/services/dxe_core.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>

#include "pi/hob.h"
#include "sim/services/guid_names.h"
#include "sim/machine/arena.h"
#include "sim/machine/faults.h"
#include "sim/image/image_cpu.h"

namespace sim {
namespace {

DxeCore *g_core = nullptr;

constexpr std::size_t kGuardBytes = 16;
constexpr std::uint8_t kGuardFill = 0xAB;
constexpr std::uint8_t kFreshPoolFill = 0xAF;
constexpr std::uint64_t kKeyPollNs = 100'000;  // an empty keyboard poll: 100 us

// ---- Boot services -----------------------------------------------------------------------------

EFI_TPL EFIAPI RaiseTpl(EFI_TPL) { return TPL_APPLICATION; }
VOID EFIAPI RestoreTpl(EFI_TPL) {}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  return DxeCore::current().allocate_pool(type, size, buffer);
}
EFI_STATUS EFIAPI FreePool(VOID *buffer) { return DxeCore::current().free_pool(buffer); }
EFI_STATUS EFIAPI CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, VOID *ctx, EFI_EVENT *event) {
  return DxeCore::current().create_event(type, tpl, fn, ctx, event);
}
EFI_STATUS EFIAPI RegisterProtocolNotify(EFI_GUID *guid, EFI_EVENT event, VOID **registration) {
  return DxeCore::current().register_notify(guid, event, registration);
}
EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE handle, EFI_GUID *guid, VOID **interface) {
  return DxeCore::current().handle_protocol(handle, guid, interface);
}
EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *guid, VOID *, VOID **interface) {
  return DxeCore::current().locate_protocol(guid, interface);
}
EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *handle, EFI_GUID *guid, EFI_INTERFACE_TYPE, VOID *interface) {
  if (handle == nullptr || guid == nullptr) return EFI_INVALID_PARAMETER;
  *handle = DxeCore::current().install_protocol(*guid, interface, *handle);
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI Stall(UINTN us) {
  DxeCore::current().note_stall(us);
  DxeCore::current().machine().wait(static_cast<std::uint64_t>(us) * 1000);
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI SignalEvent(EFI_EVENT) {
  DxeCore::current().note_unexpected("SignalEvent");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI CloseEvent(EFI_EVENT) {
  DxeCore::current().note_unexpected("CloseEvent");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI WaitForEvent(UINTN, EFI_EVENT *, UINTN *) {
  DxeCore::current().note_unexpected("WaitForEvent");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI CheckEvent(EFI_EVENT) {
  DxeCore::current().note_unexpected("CheckEvent");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI InstallConfigurationTable(EFI_GUID *, VOID *) {
  DxeCore::current().note_unexpected("InstallConfigurationTable");
  return EFI_UNSUPPORTED;
}

// ---- Runtime services --------------------------------------------------------------------------

EFI_STATUS EFIAPI GetVariable(CHAR16 *name, EFI_GUID *guid, UINT32 *attributes, UINTN *size, VOID *data) {
  return DxeCore::current().get_variable(name, guid, attributes, size, data);
}
EFI_STATUS EFIAPI SetVariable(CHAR16 *name, EFI_GUID *guid, UINT32 attributes, UINTN size, VOID *data) {
  return DxeCore::current().set_variable(name, guid, attributes, size, data);
}

// ---- Console and the other components' protocols -----------------------------------------------

EFI_STATUS EFIAPI ConInReset(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *, BOOLEAN) {
  DxeCore::current().con_in_reset();
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI ConInReadKeyStroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *, EFI_INPUT_KEY *) {
  DxeCore::current().note_unexpected("ReadKeyStroke");
  return EFI_NOT_READY;
}
EFI_STATUS EFIAPI ReadKey(EXTENDED_KEY_INPUT_PROTOCOL *, EXTENDED_KEY_RECORD *record) {
  return DxeCore::current().read_key(record);
}
VOID EFIAPI ShowPostMessage(CHAR16 *line) { DxeCore::current().show(line); }
VOID EFIAPI PreparePostMessages() { DxeCore::current().prepare(); }
VOID EFIAPI OtherSlot() { DxeCore::current().note_unexpected("an unmodelled protocol slot"); }

bool same_guid(const EFI_GUID &a, const EFI_GUID *b) { return b != nullptr && GuidsEqual(a, *b); }

}  // namespace

std::string to_utf8(const CHAR16 *s) {
  std::string out;
  for (; s != nullptr && *s != 0; ++s) out += *s < 0x80 ? static_cast<char>(*s) : '?';
  return out;
}

std::optional<Key> key_named(const std::string &name) {
  if (name == "F1") return Key{SCAN_F1, 0, 0x3B, 0, name};
  if (name == "Del") return Key{SCAN_DELETE, 0, 0x53, 0, name};
  if (name == "KeypadDel") return Key{SCAN_NULL, u'.', 0x53, 0, name};
  if (name == "Period") return Key{SCAN_NULL, u'.', 0x34, 0, name};
  if (name == "Esc") return Key{SCAN_ESC, 0, 0x01, 0, name};
  if (name == "Enter") return Key{SCAN_NULL, u'\r', 0x1C, 0, name};
  if (name.size() == 1 && name[0] >= 0x20 && name[0] < 0x7F) return Key{SCAN_NULL, static_cast<char16_t>(name[0]), 0, 0, name};
  return std::nullopt;
}

struct DxeCore::Tables {
  EFI_SYSTEM_TABLE st;
  EFI_BOOT_SERVICES bs;
  EFI_RUNTIME_SERVICES rt;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL con_in;
  POST_MESSAGE_PROTOCOL post;
  EXTENDED_KEY_INPUT_PROTOCOL keys;
  EFI_CONFIGURATION_TABLE config[8];
  CHAR16 vendor[16];
};

DxeCore::DxeCore(Machine &machine, EFI_BOOT_MODE boot_mode) : machine_(machine) {
  if (g_core != nullptr) {
    std::fputs("sim: only one DXE core at a time\n", stderr);
    std::abort();
  }
  g_core = this;
  Arena &arena = Arena::instance();
  arena_mark_ = arena.mark();
  t_ = static_cast<Tables *>(arena.allocate(sizeof(Tables)));
  machine_.memory().add(reinterpret_cast<std::uintptr_t>(t_), sizeof(Tables), MemoryCheck::Use::ReadOnly,
                        "the DXE system table, its services and protocols");

  EFI_BOOT_SERVICES &bs = t_->bs;
  bs.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  bs.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  bs.RaiseTPL = RaiseTpl;
  bs.RestoreTPL = RestoreTpl;
  bs.AllocatePool = AllocatePool;
  bs.FreePool = FreePool;
  bs.CreateEvent = CreateEvent;
  bs.WaitForEvent = WaitForEvent;
  bs.SignalEvent = SignalEvent;
  bs.CloseEvent = CloseEvent;
  bs.CheckEvent = CheckEvent;
  bs.InstallProtocolInterface = InstallProtocolInterface;
  bs.HandleProtocol = HandleProtocol;
  bs.RegisterProtocolNotify = RegisterProtocolNotify;
  bs.InstallConfigurationTable = InstallConfigurationTable;
  bs.Stall = Stall;
  bs.LocateProtocol = LocateProtocol;

  EFI_RUNTIME_SERVICES &rt = t_->rt;
  rt.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  rt.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  rt.GetVariable = GetVariable;
  rt.SetVariable = SetVariable;

  t_->con_in = {ConInReset, ConInReadKeyStroke, nullptr};
  t_->post = {OtherSlot, ShowPostMessage, OtherSlot, OtherSlot, OtherSlot, PreparePostMessages};
  t_->keys = {OtherSlot, ReadKey};
  const char16_t vendor[] = u"sbsim";
  std::copy(std::begin(vendor), std::end(vendor), t_->vendor);

  EFI_SYSTEM_TABLE &st = t_->st;
  st.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  st.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  st.FirmwareVendor = t_->vendor;
  st.ConIn = &t_->con_in;
  st.BootServices = &bs;
  st.RuntimeServices = &rt;
  st_ = &st;

  // The HOB list handed over from PEI: the handoff table with the boot mode, then the end.
  hob_list_ = static_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(arena.allocate(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) + 8));
  hob_list_->Header.HobType = EFI_HOB_TYPE_HANDOFF;
  hob_list_->Header.HobLength = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  hob_list_->Version = EFI_HOB_HANDOFF_TABLE_VERSION;
  hob_list_->BootMode = boot_mode;
  auto *end = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(hob_list_ + 1);
  end->HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end->HobLength = sizeof(EFI_HOB_GENERIC_HEADER);
  machine_.memory().add(reinterpret_cast<std::uintptr_t>(hob_list_), sizeof(EFI_HOB_HANDOFF_INFO_TABLE) + 8,
                        MemoryCheck::Use::ReadOnly, "the HOB list handed over from PEI");
  config_.push_back({gEfiHobListGuid, hob_list_});
  publish_config();

  install_protocol(gPostMessageProtocolGuid, &t_->post);
  console_in_handle_ = install_protocol(gExtendedKeyInputProtocolGuid, &t_->keys);
  st.ConsoleInHandle = console_in_handle_;
}

DxeCore::~DxeCore() {
  g_core = nullptr;
  // Everything from the mark on goes back (what the modules were handed after it too).
  machine_.memory().forget(Arena::kBase + arena_mark_, Arena::kBase + Arena::kAllocatableSize);
  Arena::instance().rewind(arena_mark_);
}

DxeCore &DxeCore::current() {
  if (g_core == nullptr) {
    std::fputs("sim: a DXE service was called with no DXE core\n", stderr);
    std::abort();
  }
  return *g_core;
}

void DxeCore::publish_config() {
  for (std::size_t i = 0; i < config_.size() && i < 8; ++i) t_->config[i] = config_[i];
  st_->NumberOfTableEntries = config_.size();
  st_->ConfigurationTable = t_->config;
}

EFI_STATUS DxeCore::injected(DxeService s) {
  const unsigned n = ++counts_[static_cast<int>(s)];
  for (const Fault &f : faults_) {
    if (f.service == s && f.nth == n) return f.status;
  }
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::start_image(EFI_IMAGE_ENTRY_POINT entry) {
  Machine::Scope scope(machine_);
  return call_module(entry, reinterpret_cast<EFI_HANDLE>(next_handle_++), st_);
}

EFI_HANDLE DxeCore::install_protocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle) {
  if (handle == nullptr) handle = reinterpret_cast<EFI_HANDLE>(next_handle_++);
  protocols_.push_back({handle, guid, interface});
  machine_.timeline().instant("install " + guid_name(guid));
  Machine::Scope scope(machine_);
  for (const Notify &n : notifies_) {
    if (!GuidsEqual(n.guid, guid)) continue;
    // The notify function runs at its event's TPL, before the installer gets control back.
    const EFI_TPL old = tpl_;
    tpl_ = n.event->tpl;
    call_module(n.event->fn, n.event, n.event->context);
    tpl_ = old;
  }
  return handle;
}

void DxeCore::remove_post_message_protocol() {
  std::erase_if(protocols_, [](const Interface &i) { return GuidsEqual(i.guid, gPostMessageProtocolGuid); });
}

void DxeCore::remove_key_input() {
  std::erase_if(protocols_, [](const Interface &i) { return GuidsEqual(i.guid, gExtendedKeyInputProtocolGuid); });
}

void DxeCore::publish_enter_setup_flag(std::uint8_t initial) {
  if (enter_setup_flag_ == nullptr) {
    enter_setup_flag_ = static_cast<std::uint8_t *>(Arena::instance().allocate(1));
    // A configuration table whose one byte the driver sets.
    machine_.memory().add(reinterpret_cast<std::uintptr_t>(enter_setup_flag_), 1, MemoryCheck::Use::Writable,
                          "the enter-setup request flag");
    config_.push_back({gEnterSetupRequestTableGuid, enter_setup_flag_});
    publish_config();
  }
  *enter_setup_flag_ = initial;
}

void DxeCore::use_hob_list(void *hob_list) {
  withdraw_hob_list();
  hob_list_ = static_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(hob_list);
  config_.push_back({gEfiHobListGuid, hob_list_});
}

void DxeCore::withdraw_hob_list() {
  std::erase_if(config_, [](const EFI_CONFIGURATION_TABLE &c) { return GuidsEqual(c.VendorGuid, gEfiHobListGuid); });
  publish_config();
}

void DxeCore::withdraw_enter_setup_flag() {
  std::erase_if(config_, [](const EFI_CONFIGURATION_TABLE &c) { return GuidsEqual(c.VendorGuid, gEnterSetupRequestTableGuid); });
  publish_config();
  enter_setup_flag_ = nullptr;
}

std::optional<std::uint8_t> DxeCore::enter_setup_flag() const {
  if (enter_setup_flag_ == nullptr) return std::nullopt;
  return *enter_setup_flag_;
}

EFI_STATUS DxeCore::create_event(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY fn, VOID *ctx, EFI_EVENT *event) {
  if (EFI_STATUS st = injected(DxeService::CreateEvent); EFI_ERROR(st)) return st;
  if (event == nullptr || (type & EVT_NOTIFY_SIGNAL && fn == nullptr)) return EFI_INVALID_PARAMETER;
  events_.push_back({type, tpl, fn, ctx});
  *event = &events_.back();
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::register_notify(const EFI_GUID *guid, EFI_EVENT event, VOID **registration) {
  if (EFI_STATUS st = injected(DxeService::RegisterProtocolNotify); EFI_ERROR(st)) return st;
  if (guid == nullptr || event == nullptr || registration == nullptr) return EFI_INVALID_PARAMETER;
  notifies_.push_back({*guid, static_cast<Event *>(event)});
  *registration = &notifies_.back();
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::handle_protocol(EFI_HANDLE handle, const EFI_GUID *guid, VOID **interface) {
  if (EFI_STATUS st = injected(DxeService::HandleProtocol); EFI_ERROR(st)) return st;
  if (interface == nullptr) return EFI_INVALID_PARAMETER;
  for (const Interface &i : protocols_) {
    if (i.handle == handle && same_guid(i.guid, guid)) {
      *interface = i.interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS DxeCore::locate_protocol(const EFI_GUID *guid, VOID **interface) {
  if (EFI_STATUS st = injected(DxeService::LocateProtocol); EFI_ERROR(st)) return st;
  if (interface == nullptr) return EFI_INVALID_PARAMETER;
  for (const Interface &i : protocols_) {
    if (same_guid(i.guid, guid)) {
      *interface = i.interface;
      return EFI_SUCCESS;
    }
  }
  *interface = nullptr;
  return EFI_NOT_FOUND;
}

EFI_STATUS DxeCore::allocate_pool(EFI_MEMORY_TYPE, UINTN size, VOID **buffer) {
  if (buffer == nullptr) return EFI_INVALID_PARAMETER;
  if (EFI_STATUS st = injected(DxeService::AllocatePool); EFI_ERROR(st)) return st;
  // A poisoned zone on each side; the contents are not zeroed (a debug core's fill).
  auto *p = static_cast<std::uint8_t *>(Arena::instance().allocate(kGuardBytes + size + kGuardBytes, 8)) + kGuardBytes;
  std::memset(p, kFreshPoolFill, size);
  std::memset(p - kGuardBytes, kGuardFill, kGuardBytes);
  std::memset(p + size, kGuardFill, kGuardBytes);
  machine_.memory().add_buffer(reinterpret_cast<std::uintptr_t>(p), size, kGuardBytes, kGuardBytes,
                               fmt::format("{}-byte pool buffer", size), "AllocatePool");
  pool_[p] = {size, p + size};
  *buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::free_pool(VOID *buffer) {
  auto it = pool_.find(buffer);
  if (it == pool_.end()) {
    pool_errors_.push_back(fmt::format("FreePool of {} that is not a pool buffer", buffer));
    return EFI_INVALID_PARAMETER;
  }
  for (std::size_t i = 0; i < kGuardBytes; ++i) {
    if (it->second.guard[i] != kGuardFill) {
      pool_errors_.push_back(fmt::format("a write past the end of a {}-byte pool buffer", it->second.size));
      break;
    }
  }
  pool_.erase(it);
  machine_.memory().free(reinterpret_cast<std::uintptr_t>(buffer), "FreePool");
  return EFI_SUCCESS;
}

void DxeCore::set_variable(const std::u16string &name, const EFI_GUID &guid, std::vector<std::uint8_t> data) {
  variables_[name] = {guid, std::move(data), 7, {}, 0};
}

void DxeCore::grow_on_reads(const std::u16string &name, std::vector<std::size_t> sizes) {
  variables_[name].sizes = std::move(sizes);
}

std::optional<std::vector<std::uint8_t>> DxeCore::variable(const std::u16string &name) const {
  auto it = variables_.find(name);
  if (it == variables_.end()) return std::nullopt;
  return it->second.data;
}

EFI_STATUS DxeCore::get_variable(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes, UINTN *size,
                                 VOID *data) {
  ++get_variable_calls_;
  if (name == nullptr || guid == nullptr || size == nullptr) return EFI_INVALID_PARAMETER;
  auto it = variables_.find(std::u16string(name));
  if (it == variables_.end() || !GuidsEqual(it->second.guid, *guid)) return EFI_NOT_FOUND;
  Variable &v = it->second;
  if (!v.sizes.empty()) {
    const std::size_t now = v.sizes[std::min<std::size_t>(v.reads, v.sizes.size() - 1)];
    v.data.resize(now, 0x5A);
    ++v.reads;
  }
  if (*size < v.data.size()) {
    *size = v.data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (data == nullptr) return EFI_INVALID_PARAMETER;
  auto pb = pool_.find(data);
  std::size_t room = v.data.size();
  if (pb != pool_.end() && v.data.size() > pb->second.size) {
    pool_errors_.push_back(fmt::format("GetVariable told it may write {} bytes into a {}-byte pool buffer", *size,
                                       pb->second.size));
    room = pb->second.size;  // the stand-in itself does not overrun it
  }
  std::memcpy(data, v.data.data(), room);
  machine_.memory().wrote(reinterpret_cast<std::uintptr_t>(data), room);
  *size = v.data.size();
  if (attributes != nullptr) *attributes = v.attributes;
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::set_variable(const CHAR16 *name, const EFI_GUID *guid, UINT32 attributes, UINTN size, VOID *data) {
  ++set_variable_calls_;
  if (name == nullptr || guid == nullptr || (size != 0 && data == nullptr)) return EFI_INVALID_PARAMETER;
  Variable &v = variables_[std::u16string(name)];
  v.guid = *guid;
  v.attributes = attributes;
  const auto *bytes = static_cast<const std::uint8_t *>(data);
  v.data.assign(bytes, bytes + size);
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::read_key(EXTENDED_KEY_RECORD *record) {
  ++key_reads_;
  if (record == nullptr) return EFI_INVALID_PARAMETER;
  if (!keys_.empty() && keys_.front().react_ns != 0) {
    keys_.front().at_ns = machine_.now_ns() + keys_.front().react_ns;
    keys_.front().react_ns = 0;
  }
  if (keys_.empty() || keys_.front().at_ns > machine_.now_ns()) {
    // Nothing typed yet. With no key left to come, polling on (a second of it unless set
    // otherwise) means the caller waits for a key that will never be typed.
    if (keys_.empty() && ++idle_polls_ > idle_polls_before_giving_up_)
      throw Hang("waiting at the keyboard, and the board types no more keys");
    // Nothing can change before the next key is typed: this one empty poll stands for all
    // the polls until then (a caller that polls sees the key on its next call).
    const std::uint64_t until = keys_.empty() ? 0 : keys_.front().at_ns;
    machine_.wait(std::max(kKeyPollNs, until > machine_.now_ns() ? until - machine_.now_ns() : 0));
    return EFI_NOT_READY;
  }
  idle_polls_ = 0;
  const Key k = keys_.front();
  keys_.pop_front();
  // From the moment the key was typed to the moment the driver took it.
  machine_.timeline().add_span("key " + k.name, std::min(k.at_ns, machine_.now_ns()), machine_.now_ns());
  std::memset(record, 0, sizeof *record);
  machine_.memory().wrote(reinterpret_cast<std::uintptr_t>(record), sizeof *record);
  record->ScanCode = k.scan;
  record->UnicodeChar = k.unicode;
  record->RawScanCode = k.raw;
  return EFI_SUCCESS;
}

void DxeCore::show(const CHAR16 *line) { screen_.push_back(to_utf8(line)); }

}  // namespace sim
