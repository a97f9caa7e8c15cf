#include "sim/board/scenario.h"

#include <fmt/format.h>

#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "pi/ppi/smbus.h"
#include "sim/services/dxe_core.h"
#include "sim/board/embedded_default_board.h"
#include "sim/machine/names.h"
#include "sim/board/sb_config_fields.h"

namespace sim {

ScenarioError::ScenarioError(const std::string &f, std::uint32_t l, const std::string &k, const std::string &what)
    : std::runtime_error(fmt::format("{}:{}: {}{}", f, l, k.empty() ? "" : fmt::format("key '{}': ", k), what)),
      file(f),
      key(k),
      line(l) {}

std::string_view embedded_default_board() { return kEmbeddedDefaultBoard; }

namespace {

// Reads one file, keeping its name for every error.
class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}

  [[noreturn]] void fail(const toml::node &n, const std::string &key, const std::string &what) const {
    throw ScenarioError(file_, n.source().begin.line, key, what);
  }

  // Refuses keys that are not in `allowed`.
  void only(const toml::table &t, std::initializer_list<std::string_view> allowed, const std::string &where) const {
    for (auto &&[k, v] : t) {
      bool known = false;
      for (std::string_view a : allowed) known = known || k.str() == a;
      if (!known) fail(v, std::string(k.str()), fmt::format("unknown key in {}", where));
    }
  }

  std::uint64_t uint(const toml::node &n, const std::string &key, std::uint64_t max) const {
    const auto *i = n.as_integer();
    if (i == nullptr) fail(n, key, "expected a whole number");
    const std::int64_t v = i->get();
    if (v < 0 || static_cast<std::uint64_t>(v) > max)
      fail(n, key, fmt::format("value {} out of range (0 to 0x{:X})", v, max));
    return static_cast<std::uint64_t>(v);
  }

  bool boolean(const toml::node &n, const std::string &key) const {
    const auto *b = n.as_boolean();
    if (b == nullptr) fail(n, key, "expected true or false");
    return b->get();
  }

  std::string string(const toml::node &n, const std::string &key) const {
    const auto *s = n.as_string();
    if (s == nullptr) fail(n, key, "expected a string");
    return s->get();
  }

  const toml::table &table(const toml::node &n, const std::string &key) const {
    const auto *t = n.as_table();
    if (t == nullptr) fail(n, key, "expected a table");
    return *t;
  }

  const toml::array &array(const toml::node &n, const std::string &key) const {
    const auto *a = n.as_array();
    if (a == nullptr) fail(n, key, "expected an array");
    return *a;
  }

  // A register number written as a key ("0x62"), up to `max`.
  std::uint64_t register_key(const toml::node &n, std::string_view key, std::uint64_t max) const {
    const std::string k(key);
    std::size_t used = 0;
    std::uint64_t v = 0;
    try {
      v = std::stoull(k, &used, 0);
    } catch (const std::exception &) {
      used = 0;
    }
    if (used != k.size() || v > max) fail(n, k, fmt::format("not a register number from 0 to 0x{:X}", max));
    return v;
  }

  // `{ 0x62 = 0x04, ... }`: bytes (or wider values up to `value_max`) by register number.
  template <typename Map>
  void registers(const toml::node &n, const std::string &key, std::uint64_t reg_max, std::uint64_t value_max,
                 Map &out) const {
    for (auto &&[k, v] : table(n, key)) {
      out[static_cast<typename Map::key_type>(register_key(v, k.str(), reg_max))] =
          static_cast<typename Map::mapped_type>(uint(v, std::string(k.str()), value_max));
    }
  }

  std::vector<std::uint8_t> bytes(const toml::node &n, const std::string &key, std::size_t max_count) const {
    std::vector<std::uint8_t> out;
    const toml::array &a = array(n, key);
    if (a.size() > max_count) fail(n, key, fmt::format("more than {} bytes", max_count));
    for (const toml::node &b : a) out.push_back(static_cast<std::uint8_t>(uint(b, key, 0xFF)));
    return out;
  }

 private:
  std::string file_;
};

// "0:14.3" (device in hexadecimal).
std::tuple<unsigned, unsigned, unsigned> pci_function(const Reader &r, const toml::node &n, const std::string &s) {
  unsigned bus = 0, dev = 0, fn = 0;
  char c1 = 0, c2 = 0;
  std::istringstream in(s);
  in >> std::dec >> bus >> c1 >> std::hex >> dev >> c2 >> std::dec >> fn;
  if (!in || c1 != ':' || c2 != '.' || bus > 255 || dev > 31 || fn > 7 || !in.eof())
    r.fail(n, "function", "expected bus:device.function with the device in hexadecimal, e.g. \"0:14.3\"");
  return {bus, dev, fn};
}

unsigned smbus_operation(const Reader &r, const toml::node &n) {
  const std::string op = r.string(n, "operation");
  for (unsigned i = 0; i <= EfiSmbusBWBRProcessCall; ++i) {
    if (smbus_operation_name(i) == op) return i;
  }
  r.fail(n, "operation", "unknown SMBus operation " + op + " (QuickRead ... BWBRProcessCall)");
}

const std::pair<const char *, UINT32> kHookPoints[] = {
    {"after_defaults", SbHookAfterDefaults}, {"before_init", SbHookBeforeInit}, {"after_init", SbHookAfterInit}};

void read_board_section(const Reader &r, const toml::table &t, Board &b) {
  r.only(t, {"name", "boot_mode", "sleep_type", "platform_hook", "other_reset_ppi", "other_stall_ppi", "ignore_resets"},
         "[board]");
  for (auto &&[k, v] : t) {
    const std::string key(k.str());
    if (key == "name") b.name = r.string(v, key);
    else if (key == "boot_mode") b.boot_mode_before = static_cast<EFI_BOOT_MODE>(r.uint(v, key, 0xFF));
    else if (key == "sleep_type") b.sleep_type = static_cast<unsigned>(r.uint(v, key, 7));
    else if (key == "platform_hook") b.platform_hook = r.boolean(v, key);
    else if (key == "other_reset_ppi") b.foreign_reset_ppi = r.boolean(v, key);
    else if (key == "other_stall_ppi") b.foreign_stall_ppi = r.boolean(v, key);
    else if (key == "ignore_resets") b.ignore_resets = r.boolean(v, key);
  }
}

void read_hooks(const Reader &r, const toml::table &t, Board &b) {
  r.only(t, {"after_defaults", "before_init", "after_init"}, "[hook]");
  for (const auto &[name, point] : kHookPoints) {
    const toml::node *n = t.get(name);
    if (n == nullptr) continue;
    auto &settings = b.hook_settings[point];
    for (auto &&[k, v] : r.table(*n, name)) {
      const std::string field(k.str());
      const ConfigField *f = find_sb_config_field(field);
      if (f == nullptr) r.fail(v, field, "not a field of the southbridge configuration block");
      const std::uint64_t max = f->bytes == 4 ? 0xFFFFFFFFull : (1ull << (8 * f->bytes)) - 1;
      settings.emplace_back(field, static_cast<std::uint32_t>(r.uint(v, field, max)));
    }
  }
}

void read_registers(const Reader &r, const toml::table &t, Board &b) {
  r.only(t, {"pm", "pm_window_bank0", "pm_window_bank1", "misc", "cmos", "io_c00", "alink", "alink_class0",
             "alink_class2", "pm1_control"},
         "[registers]");
  for (auto &&[k, v] : t) {
    const std::string key(k.str());
    if (key == "pm") r.registers(v, key, 0xFF, 0xFF, b.pm_registers);
    else if (key == "pm_window_bank0") r.registers(v, key, 0xFF, 0xFF, b.pm_window[0]);
    else if (key == "pm_window_bank1") r.registers(v, key, 0xFF, 0xFF, b.pm_window[1]);
    else if (key == "misc") r.registers(v, key, 0xFF, 0xFF, b.misc_registers);
    else if (key == "cmos") r.registers(v, key, 0x7F, 0xFF, b.cmos);
    else if (key == "io_c00") r.registers(v, key, 0xFF, 0xFF, b.io_c00);
    else if (key == "alink") r.registers(v, key, 0xFFFFFFFF, 0xFFFFFFFF, b.alink);
    else if (key == "alink_class0") r.registers(v, key, 0x1FFFFFFF, 0xFFFFFFFF, b.alink_class0);
    else if (key == "alink_class2") r.registers(v, key, 0x1FFFFFFF, 0xFFFFFFFF, b.alink_class2);
    else if (key == "pm1_control") b.pm1_control = static_cast<std::uint16_t>(r.uint(v, key, 0xFFFF));
  }
}

void read_pci(const Reader &r, const toml::array &a, Board &b) {
  for (const toml::node &n : a) {
    const toml::table &t = r.table(n, "pci");
    r.only(t, {"function", "register", "width", "value"}, "[[pci]]");
    for (std::string_view need : {"function", "register", "value"}) {
      if (!t.contains(need)) r.fail(n, std::string(need), "missing in [[pci]]");
    }
    const auto [bus, dev, fn] = pci_function(r, *t.get("function"), r.string(*t.get("function"), "function"));
    const unsigned width = t.contains("width") ? static_cast<unsigned>(r.uint(*t.get("width"), "width", 32)) : 8;
    if (width != 8 && width != 16 && width != 32) r.fail(*t.get("width"), "width", "must be 8, 16 or 32");
    const unsigned reg = static_cast<unsigned>(r.uint(*t.get("register"), "register", 256 - width / 8));
    const std::uint64_t max = width == 32 ? 0xFFFFFFFFull : (1ull << width) - 1;
    b.pci.push_back({bus, dev, fn, reg, width, static_cast<std::uint32_t>(r.uint(*t.get("value"), "value", max))});
  }
}

void read_memory_blocks(const Reader &r, const toml::array &a, Board &b) {
  for (const toml::node &n : a) {
    const toml::table &t = r.table(n, "memory_block");
    r.only(t, {"name", "base", "size", "bytes"}, "[[memory_block]]");
    MemoryBlockSpec m;
    if (!t.contains("base")) r.fail(n, "base", "missing in [[memory_block]]");
    m.name = t.contains("name") ? r.string(*t.get("name"), "name") : fmt::format("MEM{}", b.memory_blocks.size());
    m.base = r.uint(*t.get("base"), "base", 0xFFFFFFFF);
    if (t.contains("size")) m.size = r.uint(*t.get("size"), "size", 0x100000);
    if (m.base == 0 || m.base + m.size > 0x100000000ull) r.fail(n, "base", "the block must lie in 0x1 to 4 GiB");
    if (const toml::node *bytes = t.get("bytes")) r.registers(*bytes, "bytes", m.size - 1, 0xFF, m.bytes);
    b.memory_blocks.push_back(m);
  }
}

void read_usb_ports(const Reader &r, const toml::array &a, Board &b) {
  for (const toml::node &n : a) {
    const toml::table &t = r.table(n, "usb_port");
    r.only(t, {"controller", "port", "value", "settle_us", "settles_to", "never_settles"}, "[[usb_port]]");
    for (std::string_view need : {"controller", "port", "value"}) {
      if (!t.contains(need)) r.fail(n, std::string(need), "missing in [[usb_port]]");
    }
    UsbPortSpec u{static_cast<unsigned>(r.uint(*t.get("controller"), "controller", 2)),
                  static_cast<unsigned>(r.uint(*t.get("port"), "port", 4)),
                  static_cast<std::uint32_t>(r.uint(*t.get("value"), "value", 0xFFFFFFFF))};
    if (const toml::node *s = t.get("settle_us")) u.settle_ns = r.uint(*s, "settle_us", 10'000'000) * 1000;
    if (const toml::node *s = t.get("settles_to")) u.settles_to = static_cast<std::uint32_t>(r.uint(*s, "settles_to", 0xFFFFFFFF));
    if (const toml::node *s = t.get("never_settles")) u.never_settles = r.boolean(*s, "never_settles");
    b.usb_ports.push_back(u);
  }
}

void read_smbus(const Reader &r, const toml::table &t, Board &b) {
  r.only(t, {"device", "transaction", "controller0", "controller1"}, "[smbus]");
  if (const toml::node *d = t.get("device")) {
    for (const toml::node &n : r.array(*d, "device")) {
      const toml::table &dt = r.table(n, "device");
      r.only(dt, {"controller", "address", "bytes"}, "[[smbus.device]]");
      if (!dt.contains("address")) r.fail(n, "address", "missing in [[smbus.device]]");
      SmbusDeviceSpec s{dt.contains("controller") ? static_cast<unsigned>(r.uint(*dt.get("controller"), "controller", 1)) : 0,
                        static_cast<std::uint8_t>(r.uint(*dt.get("address"), "address", 0x7F)),
                        {}};
      if (const toml::node *bytes = dt.get("bytes")) {
        const auto v = r.bytes(*bytes, "bytes", 256);
        std::copy(v.begin(), v.end(), s.contents.begin());
      }
      b.smbus_devices.push_back(s);
    }
  }
  for (unsigned c = 0; c < 2; ++c) {
    const toml::node *n = t.get(c == 0 ? "controller0" : "controller1");
    if (n == nullptr) continue;
    const toml::table &ft = r.table(*n, c == 0 ? "controller0" : "controller1");
    r.only(ft, {"collide_first", "host_busy", "slave_busy", "never_completes", "block_count", "semaphore_held_polls"},
           "[smbus.controllerN]");
    SmbusFaultSpec &f = b.smbus_faults[c];
    for (auto &&[k, v] : ft) {
      const std::string key(k.str());
      if (key == "collide_first") f.collide_first = static_cast<unsigned>(r.uint(v, key, 1000));
      else if (key == "host_busy") f.host_busy = r.boolean(v, key);
      else if (key == "slave_busy") f.slave_busy = r.boolean(v, key);
      else if (key == "never_completes") f.never_completes = r.boolean(v, key);
      else if (key == "block_count") f.block_count = static_cast<int>(r.uint(v, key, 255));
      else if (key == "semaphore_held_polls") f.semaphore_held_polls = static_cast<int>(r.uint(v, key, 1'000'000));
    }
  }
  if (const toml::node *tr = t.get("transaction")) {
    for (const toml::node &n : r.array(*tr, "transaction")) {
      const toml::table &tt = r.table(n, "transaction");
      r.only(tt, {"instance", "address", "command", "operation", "length", "data"}, "[[smbus.transaction]]");
      for (std::string_view need : {"address", "operation"}) {
        if (!tt.contains(need)) r.fail(n, std::string(need), "missing in [[smbus.transaction]]");
      }
      SmbusTransactionSpec s{};
      s.instance = tt.contains("instance") ? static_cast<unsigned>(r.uint(*tt.get("instance"), "instance", 1)) : 0;
      s.address = static_cast<std::uint8_t>(r.uint(*tt.get("address"), "address", 0x7F));
      s.command = tt.contains("command") ? static_cast<std::uint32_t>(r.uint(*tt.get("command"), "command", 0xFF)) : 0;
      s.operation = smbus_operation(r, *tt.get("operation"));
      s.length = tt.contains("length") ? static_cast<std::uint32_t>(r.uint(*tt.get("length"), "length", 255)) : 1;
      if (const toml::node *d = tt.get("data")) s.data = r.bytes(*d, "data", 255);
      b.smbus_consumer.push_back(s);
    }
  }
}

void read_dxe(const Reader &r, const toml::table &t, Board &b) {
  r.only(t, {"keys", "setup_variable_size", "post_message_protocol", "enter_setup_flag"}, "[dxe]");
  for (auto &&[k, v] : t) {
    const std::string key(k.str());
    if (key == "keys") {
      b.keys.clear();
      for (const toml::node &kn : r.array(v, key)) {
        const std::string name = r.string(kn, key);
        if (!key_named(name)) r.fail(kn, key, "unknown key " + name + " (F1, Del, KeypadDel, Period, Esc, Enter, a character)");
        b.keys.push_back(name);
      }
    } else if (key == "setup_variable_size") {
      const std::uint64_t size = r.uint(v, key, 0x10000);
      b.setup_variable_size = size == 0 ? std::nullopt : std::optional<std::size_t>(size);
    } else if (key == "post_message_protocol") {
      b.post_message_protocol = r.boolean(v, key);
    } else if (key == "enter_setup_flag") {
      b.enter_setup_flag = r.boolean(v, key);
    }
  }
}

}  // namespace

Board parse_board(std::string_view text, const std::string &file) {
  toml::table root;
  try {
    root = toml::parse(text, file);
  } catch (const toml::parse_error &e) {
    throw ScenarioError(file, e.source().begin.line, "", std::string(e.description()));
  }
  const Reader r(file);
  r.only(root, {"board", "hook", "platform_mmio_table", "registers", "pci", "memory_block", "usb_port", "smbus", "dxe"},
         "the file");
  Board b;
  b.setup_variable_size = 64;
  for (auto &&[k, v] : root) {
    const std::string key(k.str());
    if (key == "board") read_board_section(r, r.table(v, key), b);
    else if (key == "hook") read_hooks(r, r.table(v, key), b);
    else if (key == "registers") read_registers(r, r.table(v, key), b);
    else if (key == "pci") read_pci(r, r.array(v, key), b);
    else if (key == "memory_block") read_memory_blocks(r, r.array(v, key), b);
    else if (key == "usb_port") read_usb_ports(r, r.array(v, key), b);
    else if (key == "smbus") read_smbus(r, r.table(v, key), b);
    else if (key == "dxe") read_dxe(r, r.table(v, key), b);
    else if (key == "platform_mmio_table") {
      for (const toml::node &e : r.array(v, key)) {
        const auto entry = r.bytes(e, key, 4);
        if (entry.size() != 4) r.fail(e, key, "each entry is 4 bytes: block, offset, and-mask, or-value");
        if (entry[0] >= 0xF0) r.fail(e, key, "a block byte of 0xF0 or more ends the table; leave the end out");
        b.platform_mmio_table.insert(b.platform_mmio_table.end(), entry.begin(), entry.end());
      }
    }
  }
  return b;
}

Board load_board(const std::string &path) {
  std::ifstream in(path);
  if (!in) throw ScenarioError(path, 0, "", "cannot read the file");
  std::stringstream text;
  text << in.rdbuf();
  return parse_board(text.str(), path);
}

}  // namespace sim
