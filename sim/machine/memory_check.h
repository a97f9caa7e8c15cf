// The ownership map of guest memory, and the check of every read and write a module's code
// makes against it.
//
// Whoever hands memory out enters it here: the stand-ins (pool, HOBs, their service tables, the
// stacks they run modules on) and the engines (the tables a 32-bit module is given). The CPU
// emulator asks `check` about each access a module's instruction makes in RAM; what no one
// handed out, what lies beside a buffer, what was freed or given up, what belongs to someone
// else and a byte of pool never written since it was handed out are findings. Accesses the
// simulator's own C++ makes are not checked; where it writes into a module's buffer on the
// module's behalf (a service's output) it says so with `wrote` or `copied`.
#pragma once
#include <cstdint>
#include <map>
#include <tuple>
#include <string>
#include <vector>

namespace sim {

enum class MemoryFindingKind : std::uint8_t {
  OutOfBounds,              // the poisoned zone beside a buffer, HOB or page allocation
  UninitializedRead,        // a byte of pool or a HOB not written since it was handed out
  UseAfterFree,             // pool after FreePool
  BelowStackPointer,        // stack below the stack pointer: it belongs to nobody
  ReadOnlyWrite,            // someone else's table, descriptor, interface or HOB header
  TemporaryRamAfterSwitch,  // temporary RAM after the PEI core gave it up
  Unowned,                  // memory nobody handed out
};
const char *kind_name(MemoryFindingKind kind);  // "out-of-bounds", "use-after-free", ...

struct MemoryFinding {
  MemoryFindingKind kind;
  std::string module;   // whose instruction made the access
  std::uint64_t address = 0;
  unsigned size = 0;
  bool write = false;
  std::string region;   // what it hit or missed, with whose it is and where it was handed out
  std::uint64_t pc = 0;
  std::string at;       // the instruction: image+offset, symbol+offset and source line where known
  std::size_t trace_index = 0;  // hardware accesses before it: its place in the trace
  unsigned count = 1;   // the same instruction on the same region again
  std::string describe() const;  // one line for the summary
};

// Whether the x86 instruction that starts `code` is a read-modify-write of memory whose result
// does not depend on what it reads (and m, 0; or m, -1).
bool overwrites_without_using(const std::vector<std::uint8_t> &code, bool is_64);

class MemoryCheck {
 public:
  // What a region is to the module that touches it.
  enum class Use : std::uint8_t {
    Stack,     // a stack: free above the stack pointer, nobody's below it
    Buffer,    // pool, a HOB's body, pages: the module's; each byte written before it is read
    Writable,  // someone else's, with fields its caller fills (a buffer a service hands in)
    ReadOnly,  // someone else's: a services table, a PPI, a HOB header
    Poison,    // beside a buffer: no one's
    Freed,     // pool after FreePool (never reused while the check runs: a quarantine)
    Gone,      // temporary RAM the PEI core gave up
  };

  // Enters [first, first + size) (what was there before goes). `what` says what it is ("pool
  // buffer of 24 bytes"), `by` who handed it out and where ("AllocatePool by SbPei at ...").
  // A read-only region's `owner`, if named, may write it (a module's own PPI descriptor).
  void add(std::uint64_t first, std::uint64_t size, Use use, std::string what, std::string by = {},
           std::string owner = {});
  // A buffer with a poisoned zone of `before` and `after` bytes around it.
  void add_buffer(std::uint64_t first, std::uint64_t size, std::uint64_t before, std::uint64_t after, std::string what,
                  std::string by = {});
  // Everything entered in [first, end) goes.
  void forget(std::uint64_t first, std::uint64_t end);
  // The buffer at `first` freed: kept as freed, with who freed it.
  bool free(std::uint64_t first, const std::string &by);
  // The regions in [first, first + size) move by `to - first` (the HOB list moved to memory), and
  // what they left is `Gone`, named `what`.
  void move(std::uint64_t first, std::uint64_t size, std::uint64_t to, std::string what);

  // The simulator wrote [first, first + size) on a module's behalf: its bytes count as written.
  void wrote(std::uint64_t first, std::uint64_t size);
  // A copy the simulator made for a module: each byte is as written as its source was.
  void copied(std::uint64_t to, std::uint64_t from, std::uint64_t size);

  // One access by a module's instruction: a finding (new or counted again) if it is one. What
  // costs a call is asked for only when needed: `where()` gives {pc, trace index}, `sp()` the stack
  // pointer (for an access to a stack); `at(pc)` names the instruction and `code(pc)` gives its
  // bytes (up to 15), for a finding only.
  struct Access {
    std::uint64_t address;
    unsigned size;
    bool write;
    std::uint64_t pc, sp;  // filled from `regs()` when the verdict needs them
    const char *module;
    bool is_64 = false;  // the instruction set the module runs in
  };
  template <typename Where, typename Sp, typename Namer, typename Code>
  void check(Access a, Where &&where, Sp &&sp, Namer &&at, Code &&code) {
    Verdict v = judge(a);
    if (!v.bad && v.stack == nullptr) return;
    // Stack: nobody's below the stack pointer (a push stores before the pointer moves).
    if (!v.bad) {
      a.sp = sp();
      if (v.stack_at + (a.write ? kPushSlack : 0) >= a.sp) return;
      v = {true, MemoryFindingKind::BelowStackPointer, v.stack};
    }
    std::size_t trace_index = 0;
    std::tie(a.pc, trace_index) = where();
    // The read of an AND with 0 or an OR with all ones (how a compiler stores 0 or -1 in few
    // bytes) is not a use of the old value.
    if (v.kind == MemoryFindingKind::UninitializedRead && overwrites_without_using(code(a.pc), a.is_64)) return;
    report(a, v, trace_index, at(a.pc));
  }


  const std::vector<MemoryFinding> &findings() const { return findings_; }

 private:
  struct Region {
    std::uint64_t first = 0, end = 0;
    Use use = Use::ReadOnly;
    std::string what, by, owner;
    std::vector<std::uint8_t> written;  // Buffer: 1 for each byte written since it was handed out
  };
  struct Verdict {
    bool bad = false;
    MemoryFindingKind kind{};
    const Region *region = nullptr;
    const Region *stack = nullptr;  // a stack the access touched, from `stack_at` up
    std::uint64_t stack_at = 0;
  };
  // A push or call stores its value before the stack pointer moves: a write this close below it
  // is the instruction's own (8 bytes: a 64-bit push).
  static constexpr std::uint64_t kPushSlack = 8;
  Verdict judge(const Access &a);
  Verdict judge_in(Region &r, const Access &a, std::uint64_t first, std::uint64_t end);
  void report(const Access &a, const Verdict &v, std::size_t trace_index, std::string at);
  Region *find(std::uint64_t address);

  std::map<std::uint64_t, Region> regions_;  // by first address; never overlapping
  Region *last_ = nullptr;                    // the region found last (most accesses hit it again)
  std::vector<MemoryFinding> findings_;
};

}  // namespace sim
