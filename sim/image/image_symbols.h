// The names of an image's code, for findings: the function and offset from the linker's map
// beside the image (IMAGE.map, as lld-link /map writes it), and the function and source line
// where DWARF describes the image: in the image itself, or in the ELF file EDK2 made it from
// (IMAGE.debug beside it); read by llvm-symbolizer, when it is installed.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace sim {

class ImageSymbols {
 public:
  // The symbols of the image file at `path` (read once per process). With no such file, a debug
  // file beside where it would be (NAME.debug) still names its code.
  static const ImageSymbols &of(const std::string &path);

  // "sbpei::SbPeiEntry+0x1F" for the code at `rva` (from the map; from DWARF, the function
  // alone), then " at FILE:LINE" where debug information gives it; empty when nothing does.
  std::string describe(std::uint32_t rva) const;

  // A map file's functions by RVA ("Static symbols" and "Publics by Value").
  static std::map<std::uint32_t, std::string> parse_map(const std::string &text);
  // An MSVC-decorated name as a reader wants it: "?F@?A0x12@ns@@YA..." -> "ns::F", "_F" -> "F".
  static std::string plain_name(const std::string &decorated);

 private:
  explicit ImageSymbols(std::string path);
  std::string path_;
  std::map<std::uint32_t, std::string> functions_;
  std::string dwarf_;  // the file with the image's DWARF (empty: none)
  std::uint64_t base_ = 0;  // where the image was linked to run (DWARF addresses are from there)
};

}  // namespace sim
