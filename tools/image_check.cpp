// image_check: checks a built EFI image and reports its size.
//   --image FILE          the PE32/PE32+ image
//   --machine ia32|x64    the machine the image must be built for
//   --execute-in-place    the image runs from flash: no writable section, no SSE/x87 code
//   --objdump PATH        disassembler used for the instruction check
//   --max-bytes N         the file may be at most N bytes
// Exits 1 with a message naming each problem.
#include <array>
#include <cstdint>
#include <cstdio>
#include <fmt/format.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint16_t kSubsystemEfiBootServiceDriver = 11;
constexpr std::uint32_t kSectionMemWrite = 0x80000000;

struct Section {
  std::string name;
  std::uint32_t virtual_size, raw_size, characteristics;
};

struct Image {
  std::uint16_t machine = 0, magic = 0, subsystem = 0;
  std::vector<Section> sections;
};

std::uint32_t le(const std::vector<std::uint8_t> &b, std::size_t at, unsigned bytes) {
  if (at + bytes > b.size()) throw std::runtime_error("truncated image");
  std::uint32_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
  return v;
}

Image parse(const std::vector<std::uint8_t> &b) {
  if (le(b, 0, 2) != 0x5A4D) throw std::runtime_error("no MZ header");
  const std::size_t pe = le(b, 0x3C, 4);
  if (le(b, pe, 4) != 0x00004550) throw std::runtime_error("no PE signature");
  Image img;
  img.machine = static_cast<std::uint16_t>(le(b, pe + 4, 2));
  const unsigned sections = le(b, pe + 6, 2);
  const std::size_t optional = pe + 24;
  const std::size_t optional_size = le(b, pe + 20, 2);
  img.magic = static_cast<std::uint16_t>(le(b, optional, 2));
  img.subsystem = static_cast<std::uint16_t>(le(b, optional + 68, 2));
  std::size_t at = optional + optional_size;
  for (unsigned i = 0; i < sections; ++i, at += 40) {
    std::string name(reinterpret_cast<const char *>(&b.at(at)), 8);
    if (const auto end = name.find('\0'); end != std::string::npos) name.resize(end);
    img.sections.push_back({name, le(b, at + 8, 4), le(b, at + 16, 4), le(b, at + 36, 4)});
  }
  return img;
}

// x87 and SSE/MMX instructions in an AT&T disassembly: x87 mnemonics start with 'f'; SSE and
// MMX name their registers, and a few state instructions name none.
std::vector<std::string> float_instructions(const std::string &objdump, const std::string &image) {
  std::vector<std::string> found;
  const std::string cmd = fmt::format("'{}' -d --no-show-raw-insn '{}'", objdump, image);
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(cmd.c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("cannot run " + objdump);
  std::array<char, 512> line{};
  while (fgets(line.data(), line.size(), pipe.get()) != nullptr) {
    std::string_view l(line.data());
    // Instruction lines are "<spaces><hex address>:<blanks><mnemonic>\t<operands>".
    const auto first = l.find_first_not_of(' ');
    if (first == std::string_view::npos) continue;
    const auto colon = l.find_first_not_of("0123456789abcdef", first);
    if (colon == first || colon == std::string_view::npos || l[colon] != ':') continue;
    const auto text = l.find_first_not_of(" \t", colon + 1);
    if (text == std::string_view::npos) continue;
    std::string_view insn = l.substr(text);
    while (!insn.empty() && (insn.back() == '\n' || insn.back() == ' ')) insn.remove_suffix(1);
    const std::string_view mnemonic = insn.substr(0, insn.find_first_of("\t "));
    const bool x87 = !mnemonic.empty() && mnemonic[0] == 'f';
    const bool simd = insn.find("%xmm") != std::string_view::npos || insn.find("%ymm") != std::string_view::npos ||
                      insn.find("%zmm") != std::string_view::npos || insn.find("%mm") != std::string_view::npos ||
                      insn.find("%st") != std::string_view::npos || mnemonic == "ldmxcsr" ||
                      mnemonic == "stmxcsr" || mnemonic == "emms";
    if (x87 || simd) found.emplace_back(l.substr(0, l.size() - (l.back() == '\n' ? 1 : 0)));
  }
  return found;
}

}  // namespace

int main(int argc, char **argv) {
  std::string image_path, machine = "ia32", objdump = "llvm-objdump";
  bool xip = false;
  std::size_t max_bytes = 0;  // 0: no limit
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        fmt::print(stderr, "image_check: {} needs a value\n", a);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--image") image_path = value();
    else if (a == "--machine") machine = value();
    else if (a == "--objdump") objdump = value();
    else if (a == "--execute-in-place") xip = true;
    else if (a == "--max-bytes") max_bytes = std::stoul(value());
    else {
      fmt::print(stderr, "image_check: unknown argument {}\n", a);
      return 2;
    }
  }
  std::ifstream in(image_path, std::ios::binary);
  if (!in) {
    fmt::print(stderr, "image_check: cannot read {}\n", image_path);
    return 2;
  }
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<std::string> problems;
  try {
    const Image img = parse(bytes);
    const bool ia32 = machine == "ia32";
    if (img.machine != (ia32 ? kMachineI386 : kMachineAmd64))
      problems.push_back(fmt::format("machine 0x{:04X}, expected {}", img.machine, machine));
    if (img.magic != (ia32 ? kPe32Magic : kPe32PlusMagic))
      problems.push_back(fmt::format("optional header magic 0x{:X}, expected {}", img.magic, ia32 ? "PE32" : "PE32+"));
    if (img.subsystem != kSubsystemEfiBootServiceDriver)
      problems.push_back(fmt::format("subsystem {}, expected {} (EFI boot service driver)", img.subsystem,
                                     kSubsystemEfiBootServiceDriver));
    std::string layout;
    for (const Section &s : img.sections) {
      layout += fmt::format(" {} {}", s.name, s.virtual_size);
      // Running from flash, the image can have no writable memory at all.
      if (xip && (s.characteristics & kSectionMemWrite) && (s.virtual_size != 0 || s.raw_size != 0))
        problems.push_back(fmt::format("writable section {} ({} bytes) in an execute-in-place image", s.name,
                                       std::max(s.virtual_size, s.raw_size)));
    }
    if (xip) {
      for (const std::string &insn : float_instructions(objdump, image_path))
        problems.push_back("floating-point/SIMD instruction: " + insn);
    }
    if (max_bytes != 0 && bytes.size() > max_bytes)
      problems.push_back(fmt::format("{} bytes, more than the {} allowed", bytes.size(), max_bytes));
    const std::string name = image_path.substr(image_path.find_last_of('/') + 1);
    fmt::print("{}: {} {}, {} bytes;{}\n", name, ia32 ? "PE32" : "PE32+", ia32 ? "IA32" : "X64", bytes.size(), layout);
  } catch (const std::exception &e) {
    problems.emplace_back(e.what());
  }
  for (const std::string &p : problems) fmt::print(stderr, "image_check: {}: {}\n", image_path, p);
  return problems.empty() ? 0 : 1;
}
