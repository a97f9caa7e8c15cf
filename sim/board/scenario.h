// Board scenarios in TOML: everything a simulated boot needs to know about a board. A file
// that does not parse, names a key that does not exist or gives a value out of range is
// refused with the file, the line and the key.
#pragma once
#include <stdexcept>
#include <string>
#include <string_view>

#include "sim/board/pei_boot.h"

namespace sim {

class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(const std::string &file, std::uint32_t line, const std::string &key, const std::string &what);
  std::string file, key;
  std::uint32_t line;
};

Board parse_board(std::string_view toml_text, const std::string &file_name);
Board load_board(const std::string &path);

// The board sbsim runs when it is given none (boards/power-loss.toml, built in).
std::string_view embedded_default_board();

}  // namespace sim
