#include "sim/machine/timeline.h"

#include <algorithm>

namespace sim {

void Timeline::begin_pei_pass() { begin_phase("PEI pass " + std::to_string(++pei_passes_)); }

void Timeline::begin_phase(const std::string &name) {
  close_all();
  spans_.push_back({name, name, now_ns_, now_ns_, trace_.size(), trace_.size(), 0});
  open_.push_back(spans_.size() - 1);
  update_context();
}

void Timeline::begin(const std::string &name) {
  if (open_.empty()) return;  // only inside a phase
  const std::string &track = spans_[open_.front()].track;
  spans_.push_back({track, name, now_ns_, now_ns_, trace_.size(), trace_.size(), static_cast<unsigned>(open_.size())});
  open_.push_back(spans_.size() - 1);
  update_context();
}

bool Timeline::is_open(const std::string &name) const {
  return std::any_of(open_.begin() + (open_.empty() ? 0 : 1), open_.end(),
                     [&](std::size_t i) { return spans_[i].name == name; });
}

void Timeline::end(const std::string &name) {
  for (std::size_t k = open_.size(); k > 1; --k) {
    if (spans_[open_[k - 1]].name == name) {
      close_from(k - 1);
      return;
    }
  }
}

void Timeline::add_span(const std::string &name, std::uint64_t start_ns, std::uint64_t end_ns) {
  if (open_.empty()) return;
  const std::string &track = spans_[open_.front()].track;
  spans_.push_back({track, name, start_ns, end_ns, trace_.size(), trace_.size(), static_cast<unsigned>(open_.size())});
}

void Timeline::instant(const std::string &name) {
  if (!open_.empty()) instants_.push_back({spans_[open_.front()].track, name, now_ns_});
}

void Timeline::close_all() { close_from(0); }

void Timeline::close_from(std::size_t stack_index) {
  while (open_.size() > stack_index) {
    Span &s = spans_[open_.back()];
    s.end_ns = now_ns_;
    s.end_access = trace_.size();
    open_.pop_back();
  }
  update_context();
}

void Timeline::update_context() {
  std::string name;
  for (std::size_t k = 0; k < open_.size(); ++k) {
    name += k == 0 ? "" : (k == 1 ? "|" : "/");
    name += spans_[open_[k]].name;
  }
  const auto it = std::find(contexts_.begin(), contexts_.end(), name);
  context_ = static_cast<std::uint32_t>(it - contexts_.begin());
  if (it == contexts_.end()) contexts_.push_back(name);
}

}  // namespace sim
