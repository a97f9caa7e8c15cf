// What the boot was doing when: spans (a phase, a module entry, a hook call, a step of the
// entry, an SMBus transaction, a USB port wait, the prompt, a beep, a key) and instants (PPI and
// protocol installs, a reset), each with its virtual time and its place in the trace. The
// service stand-ins and device models write it from what they see; nothing in the modules does.
//
// Each phase ("PEI pass 1", "DXE") is a track; spans on a track nest. The innermost open spans
// name the context of every access the machine records (Access::context).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/machine/trace.h"

namespace sim {

class Timeline {
 public:
  struct Span {
    std::string track, name;
    std::uint64_t start_ns = 0, end_ns = 0;
    std::size_t first_access = 0, end_access = 0;
    unsigned depth = 0;  // 0: the phase itself
  };
  struct Instant {
    std::string track, name;
    std::uint64_t t_ns = 0;
  };

  Timeline(const std::uint64_t &now_ns, const Trace &trace) : now_ns_(now_ns), trace_(trace) {}

  // Closes whatever is open and starts a phase: "PEI pass <n>" (numbered here) or "DXE".
  void begin_pei_pass();
  void begin_phase(const std::string &name);
  // A span inside the current phase; end(name) closes the innermost span of that name and
  // everything opened inside it (nothing if it is not open).
  void begin(const std::string &name);
  void end(const std::string &name);
  bool is_open(const std::string &name) const;
  // A span whose times are known afterwards (a tone from the speaker's record).
  void add_span(const std::string &name, std::uint64_t start_ns, std::uint64_t end_ns);
  void instant(const std::string &name);
  void close_all();

  // The phase open now ("" outside any).
  std::string phase() const { return open_.empty() ? std::string() : spans_[open_.front()].name; }

  const std::vector<Span> &spans() const { return spans_; }
  const std::vector<Instant> &instants() const { return instants_; }

  // The context of the next access: 0 outside any phase, else an id whose name is
  // "phase" or "phase|outer span/inner span".
  std::uint32_t context() const { return context_; }
  const std::string &context_name(std::uint32_t id) const { return contexts_[id]; }
  const std::vector<std::string> &context_names() const { return contexts_; }

 private:
  void update_context();
  void close_from(std::size_t stack_index);

  const std::uint64_t &now_ns_;
  const Trace &trace_;
  std::vector<Span> spans_;
  std::vector<std::size_t> open_;  // indexes into spans_, outermost first
  std::vector<Instant> instants_;
  std::vector<std::string> contexts_{""};
  std::uint32_t context_ = 0;
  unsigned pei_passes_ = 0;
};

}  // namespace sim
