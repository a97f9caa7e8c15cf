// The boot's timeline as a Chrome trace-event JSON document (opens in the Perfetto UI and in
// chrome://tracing): a track per phase with its spans, instant events for installs and resets,
// and a counter of hardware accesses per microsecond of virtual time.
#pragma once
#include <nlohmann/json.hpp>

namespace sim {

class Machine;

nlohmann::json timeline_json(const Machine &machine);

}  // namespace sim
