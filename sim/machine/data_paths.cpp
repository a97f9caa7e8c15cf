#include "sim/machine/data_paths.h"

#include <filesystem>
#include <system_error>

#ifndef SB_INSTALLED_DATA_DIR
#define SB_INSTALLED_DATA_DIR "share/southbridge-bench"
#endif

namespace sim {

std::optional<std::string> installed_data_dir() {
  // Where the program lies does not change while it runs: looked up once (a fuzzer asks for
  // every input).
  static const std::optional<std::string> dir = []() -> std::optional<std::string> {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    const std::filesystem::path data = exe.parent_path().parent_path() / SB_INSTALLED_DATA_DIR;
    if (!std::filesystem::is_directory(data / "boards", error)) return std::nullopt;
    return data.string() + "/";
  }();
  return dir;
}

}  // namespace sim
