// Where the bench's data lies when it is installed: below the prefix the programs run from
// (<prefix>/bin/sbsim reads <prefix>/share/southbridge-bench/...). In the build tree there is
// no such folder, and the data is taken from the source and build trees instead.
#pragma once
#include <optional>
#include <string>

namespace sim {

// The installed data folder (ending in '/'), if the running program lies in an installed prefix.
std::optional<std::string> installed_data_dir();

}  // namespace sim
