#include "sim/machine/trace.h"

#include <nlohmann/json.hpp>
#include <ostream>

namespace sim {

const char *op_name(Op op) {
  switch (op) {
    case Op::In: return "in";
    case Op::Out: return "out";
    case Op::Rd: return "rd";
    case Op::Wr: return "wr";
  }
  return "?";
}

std::string to_json_line(const Access &a, const std::string &context) {
  nlohmann::ordered_json j;
  j["t"] = a.t_ns;
  j["op"] = op_name(a.op);
  j["addr"] = a.addr;
  j["width"] = a.width;
  j["value"] = a.value;
  if (!a.reg.empty()) j["reg"] = a.reg;
  if (a.via != nullptr) j["via"] = a.via;
  if (a.module != nullptr) j["module"] = a.module;
  if (!context.empty()) {
    ContextParts parts = split_context(context);
    j["phase"] = std::move(parts.phase);
    if (!parts.in.empty()) j["in"] = std::move(parts.in);
  }
  return j.dump();
}

ContextParts split_context(const std::string &context) {
  const auto bar = context.find('|');
  return {context.substr(0, bar), bar == std::string::npos ? std::string() : context.substr(bar + 1)};
}

void Trace::write_jsonl(std::ostream &out, const std::vector<std::string> *contexts,
                        const std::function<void(std::ostream &, std::size_t)> &between) const {
  static const std::string none;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (between) between(out, i);
    const Access &a = entries_[i];
    out << to_json_line(a, contexts != nullptr && a.context < contexts->size() ? (*contexts)[a.context] : none) << '\n';
  }
  if (between) between(out, entries_.size());
}

}  // namespace sim
