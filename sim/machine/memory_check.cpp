#include "sim/machine/memory_check.h"

#include <algorithm>
#include <fmt/format.h>
#include <iterator>

namespace sim {

const char *kind_name(MemoryFindingKind kind) {
  switch (kind) {
    case MemoryFindingKind::OutOfBounds: return "out-of-bounds";
    case MemoryFindingKind::UninitializedRead: return "uninitialized-read";
    case MemoryFindingKind::UseAfterFree: return "use-after-free";
    case MemoryFindingKind::BelowStackPointer: return "below-stack-pointer";
    case MemoryFindingKind::ReadOnlyWrite: return "read-only-write";
    case MemoryFindingKind::TemporaryRamAfterSwitch: return "temporary-ram-after-switch";
    case MemoryFindingKind::Unowned: return "unowned";
  }
  return "?";
}

bool overwrites_without_using(const std::vector<std::uint8_t> &code, bool is_64) {
  std::size_t i = 0;
  bool operand16 = false;
  auto byte = [&](std::size_t at) { return at < code.size() ? code[at] : std::uint8_t{0}; };
  for (;; ++i) {  // prefixes
    const std::uint8_t b = byte(i);
    if (b == 0x66) operand16 = true;
    else if (b == 0x67) return false;  // another address size: not worth decoding
    else if (b != 0xF0 && b != 0x26 && b != 0x2E && b != 0x36 && b != 0x3E && b != 0x64 && b != 0x65) break;
  }
  bool wide = false;
  if (is_64 && (byte(i) & 0xF0) == 0x40) wide = (byte(i++) & 0x08) != 0;  // REX (W: 64-bit operand)
  const std::uint8_t opcode = byte(i++);
  if (opcode != 0x80 && opcode != 0x81 && opcode != 0x83) return false;  // group 1 with an immediate
  const std::uint8_t modrm = byte(i++);
  const unsigned mod = modrm >> 6, op = (modrm >> 3) & 7, rm = modrm & 7;
  if (mod == 3 || (op != 1 && op != 4)) return false;  // a register, or not OR / AND
  if (rm == 4) {  // a SIB byte; base 5 without displacement means a 32-bit displacement
    if (mod == 0 && (byte(i) & 7) == 5) i += 4;
    ++i;
  }
  if (mod == 0 && rm == 5) i += 4;
  if (mod == 1) i += 1;
  if (mod == 2) i += 4;
  const unsigned imm_bytes = opcode == 0x81 ? (operand16 ? 2 : 4) : 1;
  if (i + imm_bytes > code.size()) return false;
  std::uint64_t imm = 0;
  for (unsigned k = 0; k < imm_bytes; ++k) imm |= std::uint64_t{code[i + k]} << (8 * k);
  if (opcode != 0x80 && (imm >> (8 * imm_bytes - 1)) != 0) imm |= ~std::uint64_t{0} << (8 * imm_bytes);  // sign
  const unsigned bits = opcode == 0x80 ? 8 : operand16 ? 16 : wide ? 64 : 32;
  const std::uint64_t ones = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  imm &= ones;
  return op == 4 ? imm == 0 : imm == ones;
}

std::string MemoryFinding::describe() const {
  std::string s = fmt::format("{}: {} {} of {} byte(s) at 0x{:X} by the instruction at {}; {}", kind_name(kind), module,
                              write ? "write" : "read", size, address, at, region);
  if (count > 1) s += fmt::format(" ({} times)", count);
  return s;
}

MemoryCheck::Region *MemoryCheck::find(std::uint64_t address) {
  if (last_ != nullptr && address >= last_->first && address < last_->end) return last_;
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return nullptr;
  --it;
  if (address >= it->second.end) return nullptr;
  last_ = &it->second;
  return last_;
}

void MemoryCheck::forget(std::uint64_t first, std::uint64_t end) {
  last_ = nullptr;  // the regions change
  if (end <= first) return;
  auto it = regions_.upper_bound(first);
  if (it != regions_.begin() && std::prev(it)->second.end > first) --it;
  std::vector<Region> cut;  // the parts of regions that reach outside [first, end)
  while (it != regions_.end() && it->first < end) {
    Region r = std::move(it->second);
    it = regions_.erase(it);
    if (r.first < first) {
      Region head = r;
      head.end = first;
      if (!head.written.empty()) head.written.resize(first - head.first);
      cut.push_back(std::move(head));
    }
    if (r.end > end) {
      Region tail = r;
      if (!tail.written.empty()) tail.written.erase(tail.written.begin(), tail.written.begin() + (end - r.first));
      tail.first = end;
      cut.push_back(std::move(tail));
    }
  }
  for (Region &r : cut) regions_.emplace(r.first, std::move(r));
}

void MemoryCheck::add(std::uint64_t first, std::uint64_t size, Use use, std::string what, std::string by,
                      std::string owner) {
  if (size == 0) return;
  forget(first, first + size);
  Region r{first, first + size, use, std::move(what), std::move(by), std::move(owner), {}};
  if (use == Use::Buffer) r.written.assign(size, 0);
  regions_.emplace(first, std::move(r));
}

void MemoryCheck::add_buffer(std::uint64_t first, std::uint64_t size, std::uint64_t before, std::uint64_t after,
                             std::string what, std::string by) {
  const std::string where = fmt::format("{} at 0x{:X}", what, first);
  add(first - before, before, Use::Poison, "the poisoned zone before the " + where, by);
  add(first + size, after, Use::Poison, "the poisoned zone after the " + where, by);
  add(first, size, Use::Buffer, what, std::move(by));
}

bool MemoryCheck::free(std::uint64_t first, const std::string &by) {
  Region *r = find(first);
  if (r == nullptr || r->first != first || r->use != Use::Buffer) return false;
  r->use = Use::Freed;
  r->what = "freed " + r->what;
  r->by += (r->by.empty() ? "" : "; ") + std::string("freed by ") + by;
  r->written.clear();
  return true;
}

void MemoryCheck::move(std::uint64_t first, std::uint64_t size, std::uint64_t to, std::string what) {
  last_ = nullptr;
  std::vector<Region> moved;
  for (auto it = regions_.lower_bound(first); it != regions_.end() && it->first < first + size;) {
    Region r = std::move(it->second);
    it = regions_.erase(it);
    r.first = r.first - first + to;
    r.end = r.end - first + to;
    moved.push_back(std::move(r));
  }
  add(first, size, Use::Gone, std::move(what));
  for (Region &r : moved) {
    forget(r.first, r.end);
    regions_.emplace(r.first, std::move(r));
  }
}

void MemoryCheck::wrote(std::uint64_t first, std::uint64_t size) {
  for (std::uint64_t a = first; a < first + size;) {
    Region *r = find(a);
    if (r == nullptr) {
      ++a;
      continue;
    }
    const std::uint64_t end = std::min(first + size, r->end);
    if (!r->written.empty()) std::fill(r->written.begin() + (a - r->first), r->written.begin() + (end - r->first), 1);
    a = end;
  }
}

void MemoryCheck::copied(std::uint64_t to, std::uint64_t from, std::uint64_t size) {
  for (std::uint64_t i = 0; i < size; ++i) {
    Region *dst = find(to + i);
    if (dst == nullptr || dst->written.empty()) continue;
    const Region *src = find(from + i);
    // What did not come from a tracked buffer (constants, a table, the stack) counts as written.
    const bool known = src == nullptr || src->written.empty() || src->written[from + i - src->first] != 0;
    dst->written[to + i - dst->first] = known ? 1 : 0;
  }
}

MemoryCheck::Verdict MemoryCheck::judge_in(Region &r, const Access &a, std::uint64_t first, std::uint64_t end) {
  switch (r.use) {
    case Use::Stack: {  // judged against the stack pointer by the caller, which reads it only now
      Verdict v;
      v.stack = &r;
      v.stack_at = first;
      return v;
    }
    case Use::Buffer: {
      auto w = r.written.begin() + (first - r.first), w_end = r.written.begin() + (end - r.first);
      if (a.write) {
        std::fill(w, w_end, 1);
        return {};
      }
      if (std::find(w, w_end, 0) == w_end) return {};
      std::fill(w, w_end, 1);  // told once
      return {true, MemoryFindingKind::UninitializedRead, &r};
    }
    case Use::Writable:
      return {};
    case Use::ReadOnly:
      if (a.write && (r.owner.empty() || r.owner != a.module)) return {true, MemoryFindingKind::ReadOnlyWrite, &r};
      return {};
    case Use::Poison: return {true, MemoryFindingKind::OutOfBounds, &r};
    case Use::Freed: return {true, MemoryFindingKind::UseAfterFree, &r};
    case Use::Gone: return {true, MemoryFindingKind::TemporaryRamAfterSwitch, &r};
  }
  return {};
}

MemoryCheck::Verdict MemoryCheck::judge(const Access &a) {
  // An access that reaches past its buffer is told as that, before any unwritten byte in it.
  Verdict unwritten;
  const std::uint64_t end = a.address + a.size;
  for (std::uint64_t at = a.address; at < end;) {
    Region *r = find(at);
    if (r == nullptr) return {true, MemoryFindingKind::Unowned, nullptr};
    const std::uint64_t part_end = std::min(end, r->end);
    const Verdict v = judge_in(*r, a, at, part_end);
    if (v.bad && v.kind != MemoryFindingKind::UninitializedRead) return v;
    if (v.bad && !unwritten.bad) unwritten = v;
    if (v.stack != nullptr && unwritten.stack == nullptr) {
      unwritten.stack = v.stack;
      unwritten.stack_at = v.stack_at;
    }
    at = part_end;
  }
  return unwritten;
}

void MemoryCheck::report(const Access &a, const Verdict &v, std::size_t trace_index, std::string at) {
  std::string region = v.region == nullptr
                           ? std::string("memory no one handed out")
                           : fmt::format("{} [0x{:X}, 0x{:X}){}{}", v.region->what, v.region->first, v.region->end,
                                         v.region->by.empty() ? "" : ", ", v.region->by);
  const std::string module = a.module != nullptr ? a.module : "?";
  for (MemoryFinding &f : findings_) {
    if (f.kind == v.kind && f.pc == a.pc && f.region == region && f.module == module) {
      ++f.count;
      return;
    }
  }
  findings_.push_back({v.kind, module, a.address, a.size, a.write, std::move(region), a.pc, std::move(at), trace_index, 1});
}

}  // namespace sim
