// PE32, PE32+ and TE images as a loader sees them: the headers that matter, then the image laid
// out at a chosen address with its base relocations applied.
//
// A TE image is a PE image whose headers were stripped to a 40-byte TE header, as PEIMs that run
// in place from flash are kept: the TE header then lies StrippedSize - 40 bytes into the PE
// image's address space, and the image in memory begins there. Offsets below are from the start
// of the image in memory: for a PE image they are its RVAs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct PeSection {
  std::string name;
  std::uint32_t rva = 0, virtual_size = 0;  // rva: the offset from the start of the image in memory
  std::uint32_t raw_offset = 0, raw_size = 0;
  std::uint32_t characteristics = 0;
  bool writable() const { return (characteristics & 0x80000000u) != 0; }
  bool executable() const { return (characteristics & 0x20000000u) != 0; }
};

class PeImage {
 public:
  static constexpr std::uint16_t kMachineIa32 = 0x014C;
  static constexpr std::uint16_t kMachineX64 = 0x8664;

  // Parses the file's headers (PE or TE); throws std::runtime_error naming what is wrong.
  static PeImage parse(std::vector<std::uint8_t> file, const std::string &what);
  static PeImage read(const std::string &path);

  std::uint16_t machine() const { return machine_; }
  bool is_64() const { return machine_ == kMachineX64; }
  bool is_te() const { return te_; }
  // Where the start of the image in memory lies when the image is where it was linked (or, in a
  // volume, rebased) for: no relocation is needed there.
  std::uint64_t preferred_base() const { return image_base_ + stripped_; }
  std::uint32_t entry_rva() const { return entry_rva_; }
  // Where the start of the image in memory lies in the PE image it was made from: 0 for a PE
  // image, the bytes a TE header stripped beyond its own for a TE image (offset + this = RVA, the
  // address its debug information uses).
  std::uint32_t start_rva() const { return stripped_; }
  std::uint32_t size_of_image() const { return size_of_image_; }
  const std::vector<PeSection> &sections() const { return sections_; }
  // The file it was read from (or what the caller named it).
  const std::string &source() const { return what_; }

  // Lays the image out in `memory` (size_of_image() bytes, zeroed first) as if loaded at
  // `load_address`: headers, section contents (the rest of each section zero-filled, which
  // is how a .bss turned into .data is made), base relocations. Throws on a relocation that
  // points outside the image or a type the loader does not know.
  void load(std::uint8_t *memory, std::uint64_t load_address) const;

 private:
  static PeImage parse_te(std::vector<std::uint8_t> file, const std::string &what);
  void check_layout(std::size_t file_size);

  std::vector<std::uint8_t> file_;
  std::string what_;
  bool te_ = false;
  std::uint32_t stripped_ = 0;  // TE: the bytes of PE headers before the TE header's place
  std::uint16_t machine_ = 0;
  std::uint64_t image_base_ = 0;
  std::uint32_t entry_rva_ = 0, size_of_image_ = 0, size_of_headers_ = 0;
  std::uint32_t reloc_rva_ = 0, reloc_size_ = 0;
  std::vector<PeSection> sections_;
};

}  // namespace sim
