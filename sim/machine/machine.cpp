#include "sim/machine/machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <stdexcept>

#include "sim/machine/faults.h"

namespace sim {
namespace {

Machine *g_current = nullptr;

constexpr std::uint16_t kPciAddressPort = 0xCF8;
constexpr std::uint16_t kPciDataPort = 0xCFC;

std::uint32_t all_ones(unsigned width) { return width == 32 ? 0xFFFFFFFFu : (1u << width) - 1; }

}  // namespace

// ---- PciFunction ------------------------------------------------------------------------------

PciFunction::PciFunction(unsigned b, unsigned d, unsigned f) : bus(b), device(d), function(f) {}

std::uint32_t PciFunction::config_read(unsigned reg, unsigned width) { return get(reg, width); }

void PciFunction::config_write(unsigned reg, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width / 8 && reg + i < space_.size(); ++i) {
    if (!read_only_[reg + i]) space_[reg + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

void PciFunction::set(unsigned reg, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width / 8 && reg + i < space_.size(); ++i) {
    space_[reg + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  contents_changed();
}

std::uint32_t PciFunction::get(unsigned reg, unsigned width) const {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < width / 8; ++i) {
    // Bytes past the end of the 256-byte space read as all ones, as on a real bus.
    const std::uint32_t byte = reg + i < space_.size() ? space_[reg + i] : 0xFF;
    v |= byte << (8 * i);
  }
  return v;
}

void PciFunction::set_read_only(unsigned reg, unsigned bytes) {
  for (unsigned i = 0; i < bytes && reg + i < read_only_.size(); ++i) read_only_[reg + i] = true;
}

std::string PciFunction::name() const { return fmt::format("{}:{:X}.{}", bus, device, function); }

// ---- PciHost ----------------------------------------------------------------------------------

PciFunction &PciHost::add(std::unique_ptr<PciFunction> f) {
  auto &slot = functions_[key(f->bus, f->device, f->function)];
  slot = std::move(f);
  return *slot;
}

PciFunction &PciHost::add(unsigned bus, unsigned device, unsigned function) {
  return add(std::make_unique<PciFunction>(bus, device, function));
}

PciFunction *PciHost::find(unsigned bus, unsigned device, unsigned function) const {
  auto it = functions_.find(key(bus, device, function));
  return it == functions_.end() ? nullptr : it->second.get();
}

PciFunction *PciHost::selected() const {
  if ((address_ & 0x80000000u) == 0) return nullptr;
  return find((address_ >> 16) & 0xFF, (address_ >> 11) & 0x1F, (address_ >> 8) & 0x7);
}

std::uint32_t PciHost::io_read(std::uint16_t port, unsigned width) {
  if (port < kPciDataPort) {
    if (port == kPciAddressPort && width == 32) return address_;
    return legacy_ != nullptr ? legacy_->io_read(port, width) : all_ones(width);
  }
  PciFunction *f = selected();
  if (f == nullptr) return all_ones(width);
  return f->config_read((address_ & 0xFC) + (port - kPciDataPort), width);
}

void PciHost::io_write(std::uint16_t port, unsigned width, std::uint32_t value) {
  if (port < kPciDataPort) {
    if (port == kPciAddressPort && width == 32) {
      address_ = value;
    } else if (legacy_ != nullptr) {
      legacy_->io_write(port, width, value);
    }
    return;
  }
  if (PciFunction *f = selected()) f->config_write((address_ & 0xFC) + (port - kPciDataPort), width, value);
}

std::string PciHost::io_name(std::uint16_t port) const {
  if (port < kPciDataPort) {
    if (port == kPciAddressPort) return "PCI_CONFIG_ADDRESS";
    return legacy_ != nullptr ? legacy_->io_name(port) : std::string{};
  }
  const unsigned reg = (address_ & 0xFC) + (port - kPciDataPort);
  return fmt::format("PCI {}:{:X}.{} reg 0x{:02X}", (address_ >> 16) & 0xFF, (address_ >> 11) & 0x1F,
                     (address_ >> 8) & 0x7, reg);
}

// ---- Machine ----------------------------------------------------------------------------------

Machine::Machine() { map_io(kPciAddressPort, 8, &pci_); }

Machine::~Machine() {
  if (g_current == this) g_current = nullptr;
}

Machine &Machine::current() {
  if (g_current == nullptr) {
    std::fputs("sim: a module touched hardware with no machine in scope\n", stderr);
    std::abort();
  }
  return *g_current;
}

bool Machine::has_current() { return g_current != nullptr; }

Machine::Scope::Scope(Machine &m) : previous_(g_current) { g_current = &m; }
Machine::Scope::~Scope() { g_current = previous_; }

void Machine::map_io(std::uint16_t first, unsigned count, IoDevice *device) {
  for (unsigned p = first; p < first + count && p < 65536; ++p) {
    std::unique_ptr<IoPage> &page = io_pages_[p >> 8];
    if (page == nullptr) page = std::make_unique<IoPage>();  // value-initialised: no device
    (*page)[p & 0xFF] = device;
  }
}

void Machine::unmap_io(std::uint16_t first, unsigned count, IoDevice *device) {
  for (unsigned p = first; p < first + count && p < 65536; ++p) {
    IoPage *page = io_pages_[p >> 8].get();
    if (page != nullptr && (*page)[p & 0xFF] == device) (*page)[p & 0xFF] = nullptr;
  }
}

void Machine::pause() {
  now_ns_ += costs_.pause_ns;
  check_deadline(nullptr);
}

void Machine::wait(std::uint64_t ns) {
  now_ns_ += ns;
  counts_.wait_ns += ns;
  check_deadline(nullptr);
}

void Machine::set_watchdog(std::uint64_t limit_ns) { deadline_ns_ = limit_ns == 0 ? 0 : now_ns_ + limit_ns; }

void Machine::check_deadline(const Access *last) {
  if (deadline_ns_ == 0 || now_ns_ <= deadline_ns_) return;
  deadline_ns_ = 0;  // fire once
  throw Hang(fmt::format("watchdog: still running at {} ns; spinning on {}", now_ns_,
                         last != nullptr ? to_json_line(*last) : std::string("a wait without bus accesses")));
}

void Machine::map_mmio(std::uint64_t base, std::uint64_t size, MmioDevice *device) {
  regions_.push_back({base, size, device, nullptr});
}

void Machine::unmap_mmio(MmioDevice *device) {
  std::erase_if(regions_, [device](const Region &r) { return r.device == device; });
}

void Machine::map_ram(std::uint64_t base, std::uint64_t size, std::uint8_t *host) {
  for (const Region &r : regions_) {
    if (r.base == base && r.size == size && r.host == host) return;  // already mapped
  }
  regions_.push_back({base, size, nullptr, host});
}

const Machine::Region *Machine::find_region(std::uint64_t addr, unsigned width) const {
  // Later mappings win, so a test can lay a device over part of another.
  for (auto it = regions_.rbegin(); it != regions_.rend(); ++it) {
    if (addr >= it->base && addr + width / 8 <= it->base + it->size) return &*it;
  }
  return nullptr;
}

void Machine::name_code(std::uint64_t first, std::uint64_t end, std::function<std::string(std::uint64_t)> describe) {
  code_.erase(code_.lower_bound(first), code_.lower_bound(end));
  code_[first] = {end, std::move(describe)};
}

std::string Machine::describe_code(std::uint64_t pc) const {
  auto it = code_.upper_bound(pc);
  if (pc == 0 || it == code_.begin() || pc >= (--it)->second.end) return {};
  return it->second.describe(pc);
}

void Machine::finish(Access &a, std::uint64_t cost) {
  now_ns_ += cost;
  if (a.op == Op::In || a.op == Op::Out) {
    ++counts_.io;
    counts_.pci_config += a.addr >= 0xCFC && a.addr <= 0xCFF;
  } else {
    ++counts_.mem;
  }
  a.context = timeline_.context();
  if (a.module == nullptr) a.module = default_module_;
  a.pc = source_pc_;
  if (observer_) observer_(a);
  trace_.record(a);
  check_deadline(&a);
}

std::uint32_t Machine::io_read(std::uint16_t port, unsigned width, const char *via, const char *module) {
  Access a{now_ns_, Op::In, port, width, 0, {}, via, 0, module};
  IoDevice *d = io_device(port);
  if (d != nullptr && trace_.enabled()) a.reg = d->io_name(port);
  if (d == nullptr) ++unclaimed_ports_[port].reads;
  a.value = d != nullptr ? d->io_read(port, width) : all_ones(width);
  const std::uint32_t v = a.value;
  finish(a, costs_.io_ns);
  return v;
}

void Machine::io_write(std::uint16_t port, unsigned width, std::uint32_t value, const char *via, const char *module) {
  Access a{now_ns_, Op::Out, port, width, value & all_ones(width), {}, via, 0, module};
  IoDevice *d = io_device(port);
  if (d == nullptr) ++unclaimed_ports_[port].writes;
  if (d != nullptr) {
    // Named before the write, so 0xCFC names the selected register.
    if (trace_.enabled()) a.reg = d->io_name(port);
    try {
      d->io_write(port, width, a.value);
    } catch (...) {
      finish(a, costs_.io_ns);  // a write that resets the machine is still in the trace
      throw;
    }
  }
  finish(a, costs_.io_ns);
}

std::uint32_t Machine::mem_read(std::uint64_t addr, unsigned width, const char *via, const char *module) {
  Access a{now_ns_, Op::Rd, addr, width, all_ones(width), {}, via, 0, module};
  std::uint64_t cost = costs_.mmio_ns;
  const Region *r = find_region(addr, width);
  if (r == nullptr) ++unclaimed_memory_[addr].reads;
  if (r != nullptr) {
    if (r->device != nullptr) {
      a.value = r->device->mmio_read(addr, width);
      if (trace_.enabled()) a.reg = r->device->mmio_name(addr);
    } else {
      std::uint32_t v = 0;
      std::memcpy(&v, r->host + (addr - r->base), width / 8);
      a.value = v;
      cost = costs_.ram_ns;
    }
  }
  const std::uint32_t v = a.value;
  finish(a, cost);
  return v;
}

void Machine::mem_write(std::uint64_t addr, unsigned width, std::uint32_t value, const char *via,
                        const char *module) {
  Access a{now_ns_, Op::Wr, addr, width, value & all_ones(width), {}, via, 0, module};
  std::uint64_t cost = costs_.mmio_ns;
  const Region *r = find_region(addr, width);
  if (r == nullptr) ++unclaimed_memory_[addr].writes;
  if (r != nullptr) {
    if (r->device != nullptr) {
      if (trace_.enabled()) a.reg = r->device->mmio_name(addr);
      r->device->mmio_write(addr, width, a.value);
    } else {
      std::memcpy(r->host + (addr - r->base), &a.value, width / 8);
      cost = costs_.ram_ns;
    }
  }
  finish(a, cost);
}

}  // namespace sim
