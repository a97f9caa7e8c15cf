// The board parser with fuzzed text: a board parses, or is refused with a ScenarioError that
// names the file and the line. Nothing else may escape it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/board/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  try {
    sim::Board b = sim::parse_board(text, "fuzz.toml");
    (void)b;
  } catch (const sim::ScenarioError &e) {
    if (e.file != "fuzz.toml") std::abort();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "invariant violated: %s escaped the parser\n", e.what());
    std::abort();
  }
  return 0;
}
