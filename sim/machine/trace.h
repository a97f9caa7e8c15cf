// The trace: every hardware access in order, exportable as JSON lines.
#pragma once
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace sim {

enum class Op : std::uint8_t { In, Out, Rd, Wr };

const char *op_name(Op op);

struct Access {
  std::uint64_t t_ns = 0;  // virtual time at which the access was made
  Op op = Op::In;
  std::uint64_t addr = 0;  // port or physical address
  unsigned width = 8;      // 8, 16 or 32
  std::uint32_t value = 0;
  std::string reg;         // decoded register name, if known
  const char *via = nullptr;  // the service that made the access (e.g. "CpuIo"), or none
  std::uint32_t context = 0;  // what the boot was doing (Timeline::context), 0: nothing named
  // The module the access was made for, where a boot runs more than our two modules (a PEI
  // volume): the image whose code made it, or the caller of the CPU I/O PPI that made it.
  const char *module = nullptr;
  // The instruction of an image that made it (for an access a service made, the image's call of
  // that service), 0 when no image code made it; Machine::describe_code names it.
  std::uint64_t pc = 0;
};

class Trace {
 public:
  void record(const Access &a) {
    if (enabled_) entries_.push_back(a);  // no copy at all while the trace is off
  }
  const std::vector<Access> &entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  void clear() { entries_.clear(); }
  void set_enabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }

  // One JSON object per line: {"t","op","addr","width","value"} and the optional
  // "reg", "via", "module", "phase" and "in" fields; `contexts` names each access's context
  // ("phase|outer/inner", as Timeline::context_name gives it).
  // `between(out, i)` may write lines of its own before entry i (and, with i == size(), after the
  // last).
  void write_jsonl(std::ostream &out, const std::vector<std::string> *contexts = nullptr,
                   const std::function<void(std::ostream &, std::size_t)> &between = {}) const;

 private:
  std::vector<Access> entries_;
  bool enabled_ = true;
};

std::string to_json_line(const Access &a, const std::string &context = {});

// A context name ("phase|outer/inner", see Timeline) as its phase and the rest.
struct ContextParts {
  std::string phase, in;
};
ContextParts split_context(const std::string &context);

}  // namespace sim
