#include "sim/image/image_symbols.h"

#include <cstdio>
#include <fmt/format.h>
#include <fstream>
#include <memory>
#include <iterator>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/image/pe_image.h"

namespace sim {
namespace {

// The function and source line of the code at `address` in a file with DWARF, as llvm-symbolizer
// gives them (the innermost inlined frame first): {"F", "FILE:LINE"}, empty where it knows none.
std::pair<std::string, std::string> symbolize(const std::string &file, std::uint64_t address) {
  for (const char *tool : {"llvm-symbolizer-14", "llvm-symbolizer"}) {
    const std::string command = fmt::format("{} --obj='{}' 0x{:X} 2>/dev/null", tool, file, address);
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) continue;
    std::string lines[2];
    char buffer[1024];
    for (std::string &l : lines) {
      if (std::fgets(buffer, sizeof buffer, pipe.get()) == nullptr) break;
      l = buffer;
      while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    }
    if (lines[0].empty()) continue;  // the tool is not there
    std::string function = lines[0] == "??" ? std::string{} : lines[0];
    // FILE:LINE:COLUMN; "??:0:0" when the address has none.
    std::string line = lines[1];
    if (const auto last = line.rfind(':'); last != std::string::npos) line.erase(last);
    if (line.rfind("??", 0) == 0 || (line.size() > 2 && line.substr(line.size() - 2) == ":0")) line.clear();
    if (line.rfind(SB_SOURCE_ROOT, 0) == 0) line.erase(0, std::string_view(SB_SOURCE_ROOT).size());
    return {function, line};
  }
  return {};
}

}  // namespace

std::string ImageSymbols::plain_name(const std::string &decorated) {
  if (decorated.empty() || decorated[0] != '?') return decorated[0] == '_' ? decorated.substr(1) : decorated;
  const auto end = decorated.find("@@");
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(decorated.substr(1, end == std::string::npos ? std::string::npos : end - 1));
  while (std::getline(in, part, '@'))
    if (!part.empty() && part.rfind("?A0x", 0) != 0) parts.push_back(part);  // not the anonymous namespace
  std::string name;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) name += (name.empty() ? "" : "::") + *it;
  return name.empty() ? decorated : name;
}

std::map<std::uint32_t, std::string> ImageSymbols::parse_map(const std::string &text) {
  // " 0001:00000a92       ?Name@@...      0000000000000cb2     t.efi.lto.obj": section:offset,
  // the decorated name, the address (RVA + the base, which is 0 here), "f" for a function, the
  // object.
  const auto hex = [](const std::string &s) { return s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos; };
  std::map<std::uint32_t, std::string> functions;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    std::istringstream words(l);
    std::vector<std::string> w{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    if (w.size() < 4 || w[0].size() != 13 || w[0][4] != ':' || !hex(w[0].substr(0, 4)) || !hex(w[0].substr(5)) ||
        w[2].size() < 8 || w[2].size() > 16 || !hex(w[2]))
      continue;
    const std::uint64_t address = std::stoull(w[2], nullptr, 16);
    if (address == 0 || w[1].rfind("__", 0) == 0) continue;  // the image base and the linker's own
    functions[static_cast<std::uint32_t>(address)] = plain_name(w[1]);
  }
  return functions;
}

const ImageSymbols &ImageSymbols::of(const std::string &path) {
  static std::map<std::string, std::unique_ptr<ImageSymbols>> cache;
  auto &entry = cache[path];
  if (!entry) entry.reset(new ImageSymbols(path));
  return *entry;
}

ImageSymbols::ImageSymbols(std::string path) : path_(std::move(path)) {
  const auto dot = path_.rfind('.');
  std::ifstream map(path_.substr(0, dot == std::string::npos ? path_.size() : dot) + ".map");
  if (map) functions_ = parse_map(std::string{std::istreambuf_iterator<char>(map), std::istreambuf_iterator<char>()});
  // EDK2 leaves the ELF it made the image from beside it (IMAGE.debug), at the same addresses.
  if (std::ifstream debug(path_.substr(0, dot == std::string::npos ? path_.size() : dot) + ".debug"); debug) {
    dwarf_ = path_.substr(0, dot == std::string::npos ? path_.size() : dot) + ".debug";
    return;
  }
  try {
    const PeImage image = PeImage::read(path_);
    base_ = image.preferred_base();
    // DWARF sections have long names, which the file keeps in its string table ("/4").
    for (const PeSection &s : image.sections())
      if (s.name.rfind(".debug", 0) == 0 || s.name.rfind('/', 0) == 0) dwarf_ = path_;
  } catch (const std::exception &) {
  }
}

std::string ImageSymbols::describe(std::uint32_t rva) const {
  std::string s;
  auto it = functions_.upper_bound(rva);
  if (it != functions_.begin()) {
    --it;
    s = fmt::format("{}+0x{:X}", it->second, rva - it->first);
  }
  if (!dwarf_.empty()) {
    const auto [function, line] = symbolize(dwarf_, base_ + rva);
    if (s.empty() && !function.empty()) s = function;
    if (!line.empty()) s += fmt::format("{}at {}", s.empty() ? "" : " ", line);
  }
  return s;
}

}  // namespace sim
