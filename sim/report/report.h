// A boot as one self-contained HTML page for review: the outcome, the timeline, the trace as a
// filterable table, the registers the modules touched with their named bit fields, the
// differences from a golden trace, memory findings and the speaker's sound. Styles, script and
// data are inline; the page fetches nothing.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/board/trace_diff.h"

namespace sim {

class Machine;

struct ReportInput {
  std::string board;   // the board's name
  std::string engine;  // how it was booted: host, image, or the volume's file
  const Machine *machine = nullptr;
  nlohmann::ordered_json summary;  // sbsim's --json summary of the boot
  // A trace to compare with (a golden trace, or another boot's) and what to call it.
  std::optional<std::vector<TraceLine>> against;
  std::string against_name;
  std::uint64_t stall_slack_us = 0;
  std::string wav;  // the speaker's sound as a WAV file, empty for silence
};

// The page's data, as the page's script reads it.
nlohmann::ordered_json report_data(const ReportInput &in);

// The page: the template with the data in it.
std::string report_html(const ReportInput &in);

}  // namespace sim
