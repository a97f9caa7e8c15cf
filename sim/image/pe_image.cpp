#include "sim/image/pe_image.h"

#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kTeSignature = 0x5A56;       // "VZ"
constexpr std::uint32_t kTeHeaderSize = 40;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint16_t kMagicPe32 = 0x10B, kMagicPe32Plus = 0x20B;
constexpr unsigned kBaseRelocationDirectory = 5;

// Base relocation types the images use.
constexpr unsigned kRelAbsolute = 0, kRelHighLow = 3, kRelDir64 = 10;

template <typename T>
T get(const std::vector<std::uint8_t> &b, std::size_t at, const std::string &what) {
  if (at + sizeof(T) > b.size() || at + sizeof(T) < at) throw std::runtime_error(what + ": truncated headers");
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

// One section header of the table at `at`; `stripped` moves a TE image's offsets back to where
// its image and its file begin.
PeSection read_section(const std::vector<std::uint8_t> &file, std::size_t at, std::uint32_t stripped,
                       const std::string &what) {
  PeSection sec;
  char name[9] = {};
  for (unsigned k = 0; k < 8; ++k) name[k] = static_cast<char>(get<std::uint8_t>(file, at + k, what));
  sec.name = name;
  sec.virtual_size = get<std::uint32_t>(file, at + 8, what);
  const std::uint32_t rva = get<std::uint32_t>(file, at + 12, what);
  sec.raw_size = get<std::uint32_t>(file, at + 16, what);
  const std::uint32_t raw = get<std::uint32_t>(file, at + 20, what);
  sec.characteristics = get<std::uint32_t>(file, at + 36, what);
  if (rva < stripped || (raw < stripped && sec.raw_size != 0))
    throw std::runtime_error(fmt::format("{}: section {} lies in the stripped headers", what, sec.name));
  sec.rva = rva - stripped;
  sec.raw_offset = sec.raw_size != 0 ? raw - stripped : 0;
  return sec;
}

}  // namespace

PeImage PeImage::read(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(fmt::format("cannot read image {}", path));
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return parse(std::move(bytes), path);
}

void PeImage::check_layout(std::size_t file_size) {
  for (const PeSection &sec : sections_) {
    const std::uint64_t end = std::uint64_t{sec.rva} + std::max(sec.virtual_size, sec.raw_size);
    if (end > size_of_image_) throw std::runtime_error(fmt::format("{}: section {} lies outside the image", what_, sec.name));
    if (std::uint64_t{sec.raw_offset} + sec.raw_size > file_size)
      throw std::runtime_error(fmt::format("{}: section {} lies outside the file", what_, sec.name));
  }
  if (entry_rva_ >= size_of_image_) throw std::runtime_error(what_ + ": entry point outside the image");
  if (size_of_headers_ > file_size || size_of_headers_ > size_of_image_)
    throw std::runtime_error(what_ + ": headers larger than the image");
}

PeImage PeImage::parse_te(std::vector<std::uint8_t> file, const std::string &what) {
  PeImage p;
  p.what_ = what;
  p.te_ = true;
  p.machine_ = get<std::uint16_t>(file, 2, what);
  if (p.machine_ != kMachineIa32 && p.machine_ != kMachineX64)
    throw std::runtime_error(fmt::format("{}: machine 0x{:04X} is neither IA32 nor X64", what, p.machine_));
  const unsigned nsections = get<std::uint8_t>(file, 4, what);
  const std::uint32_t stripped = get<std::uint16_t>(file, 6, what);
  if (stripped < kTeHeaderSize) throw std::runtime_error(what + ": TE header strips fewer bytes than it takes");
  p.stripped_ = stripped - kTeHeaderSize;
  const std::uint32_t entry = get<std::uint32_t>(file, 8, what);
  p.image_base_ = get<std::uint64_t>(file, 16, what);
  const std::uint32_t reloc_rva = get<std::uint32_t>(file, 24, what);
  p.reloc_size_ = get<std::uint32_t>(file, 28, what);
  if (p.reloc_size_ != 0 && reloc_rva < p.stripped_) throw std::runtime_error(what + ": relocations in the stripped headers");
  p.reloc_rva_ = p.reloc_size_ != 0 ? reloc_rva - p.stripped_ : 0;
  if (entry < p.stripped_) throw std::runtime_error(what + ": entry point in the stripped headers");
  p.entry_rva_ = entry - p.stripped_;
  p.size_of_headers_ = kTeHeaderSize + kSectionHeaderSize * nsections;
  std::uint64_t end = p.size_of_headers_;
  for (unsigned i = 0; i < nsections; ++i) {
    p.sections_.push_back(read_section(file, kTeHeaderSize + kSectionHeaderSize * i, p.stripped_, what));
    const PeSection &sec = p.sections_.back();
    end = std::max<std::uint64_t>(end, std::uint64_t{sec.rva} + std::max(sec.virtual_size, sec.raw_size));
  }
  if (end > 0xFFFFFFFF) throw std::runtime_error(what + ": image larger than 4 GiB");
  p.size_of_image_ = static_cast<std::uint32_t>(end);
  p.check_layout(file.size());
  p.file_ = std::move(file);
  return p;
}

PeImage PeImage::parse(std::vector<std::uint8_t> file, const std::string &what) {
  if (get<std::uint16_t>(file, 0, what) == kTeSignature) return parse_te(std::move(file), what);
  PeImage p;
  p.what_ = what;
  if (get<std::uint16_t>(file, 0, what) != 0x5A4D) throw std::runtime_error(what + ": no MZ or TE header");
  const std::uint32_t pe = get<std::uint32_t>(file, 0x3C, what);
  if (get<std::uint32_t>(file, pe, what) != kPeSignature) throw std::runtime_error(what + ": no PE signature");
  const std::size_t coff = pe + 4;
  p.machine_ = get<std::uint16_t>(file, coff, what);
  if (p.machine_ != kMachineIa32 && p.machine_ != kMachineX64)
    throw std::runtime_error(fmt::format("{}: machine 0x{:04X} is neither IA32 nor X64", what, p.machine_));
  const unsigned nsections = get<std::uint16_t>(file, coff + 2, what);
  const std::size_t opt = coff + 20;
  const std::size_t opt_size = get<std::uint16_t>(file, coff + 16, what);
  const std::uint16_t magic = get<std::uint16_t>(file, opt, what);
  const bool plus = magic == kMagicPe32Plus;
  if (!plus && magic != kMagicPe32) throw std::runtime_error(what + ": unknown optional header");
  if (plus != (p.machine_ == kMachineX64)) throw std::runtime_error(what + ": optional header does not fit the machine");
  p.entry_rva_ = get<std::uint32_t>(file, opt + 16, what);
  p.image_base_ = plus ? get<std::uint64_t>(file, opt + 24, what) : get<std::uint32_t>(file, opt + 28, what);
  p.size_of_image_ = get<std::uint32_t>(file, opt + 56, what);
  p.size_of_headers_ = get<std::uint32_t>(file, opt + 60, what);
  const std::size_t dirs = opt + (plus ? 112 : 96);
  const std::uint32_t ndirs = get<std::uint32_t>(file, dirs - 4, what);
  if (ndirs > kBaseRelocationDirectory) {
    p.reloc_rva_ = get<std::uint32_t>(file, dirs + 8 * kBaseRelocationDirectory, what);
    p.reloc_size_ = get<std::uint32_t>(file, dirs + 8 * kBaseRelocationDirectory + 4, what);
  }
  const std::size_t table = opt + opt_size;
  for (unsigned i = 0; i < nsections; ++i) p.sections_.push_back(read_section(file, table + kSectionHeaderSize * i, 0, what));
  p.check_layout(file.size());
  p.file_ = std::move(file);
  return p;
}

void PeImage::load(std::uint8_t *memory, std::uint64_t load_address) const {
  std::memset(memory, 0, size_of_image_);
  std::memcpy(memory, file_.data(), size_of_headers_);
  for (const PeSection &s : sections_) {
    // Only the raw bytes that belong to the section; the rest of it stays zero.
    const std::uint32_t n = s.virtual_size != 0 ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
    std::memcpy(memory + s.rva, file_.data() + s.raw_offset, n);
  }
  if (reloc_size_ == 0) return;  // nothing needed relocating: the linker left the table out
  const std::uint64_t delta = load_address - preferred_base();
  if (std::uint64_t{reloc_rva_} + reloc_size_ > size_of_image_) throw std::runtime_error(what_ + ": relocations outside the image");
  std::uint32_t at = 0;
  while (at + 8 <= reloc_size_) {
    std::uint32_t page, block;
    std::memcpy(&page, memory + reloc_rva_ + at, 4);
    std::memcpy(&block, memory + reloc_rva_ + at + 4, 4);
    if (block < 8 || at + block > reloc_size_) throw std::runtime_error(what_ + ": malformed relocation block");
    for (std::uint32_t e = 8; e + 2 <= block; e += 2) {
      std::uint16_t entry;
      std::memcpy(&entry, memory + reloc_rva_ + at + e, 2);
      const unsigned type = entry >> 12;
      if (type == kRelAbsolute) continue;
      // Pages are named by RVA; a TE image in memory begins `stripped_` bytes into that space.
      const std::uint64_t rva = std::uint64_t{page} + (entry & 0xFFF);
      if (rva < stripped_) throw std::runtime_error(what_ + ": relocation in the stripped headers");
      const std::uint64_t target = rva - stripped_;
      const unsigned width = type == kRelHighLow ? 4 : type == kRelDir64 ? 8 : 0;
      if (width == 0) throw std::runtime_error(fmt::format("{}: relocation type {} not supported", what_, type));
      if (target + width > size_of_image_) throw std::runtime_error(what_ + ": relocation outside the image");
      if (width == 4) {
        std::uint32_t v;
        std::memcpy(&v, memory + target, 4);
        v += static_cast<std::uint32_t>(delta);
        std::memcpy(memory + target, &v, 4);
      } else {
        std::uint64_t v;
        std::memcpy(&v, memory + target, 8);
        v += delta;
        std::memcpy(memory + target, &v, 8);
      }
    }
    at += block;
  }
}

}  // namespace sim
