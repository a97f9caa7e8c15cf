// PE32 and PE32+ images as a loader sees them: the headers that matter, then the image laid
// out at a chosen address with its base relocations applied.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct PeSection {
  std::string name;
  std::uint32_t rva = 0, virtual_size = 0;
  std::uint32_t raw_offset = 0, raw_size = 0;
  std::uint32_t characteristics = 0;
  bool writable() const { return (characteristics & 0x80000000u) != 0; }
  bool executable() const { return (characteristics & 0x20000000u) != 0; }
};

class PeImage {
 public:
  static constexpr std::uint16_t kMachineIa32 = 0x014C;
  static constexpr std::uint16_t kMachineX64 = 0x8664;

  // Parses the file's headers; throws std::runtime_error naming what is wrong.
  static PeImage parse(std::vector<std::uint8_t> file, const std::string &what);
  static PeImage read(const std::string &path);

  std::uint16_t machine() const { return machine_; }
  bool is_64() const { return machine_ == kMachineX64; }
  std::uint64_t preferred_base() const { return image_base_; }
  std::uint32_t entry_rva() const { return entry_rva_; }
  std::uint32_t size_of_image() const { return size_of_image_; }
  const std::vector<PeSection> &sections() const { return sections_; }

  // Lays the image out in `memory` (size_of_image() bytes, zeroed first) as if loaded at
  // `load_address`: headers, section contents (the rest of each section zero-filled, which
  // is how a .bss turned into .data is made), base relocations. Throws on a relocation that
  // points outside the image or a type the loader does not know.
  void load(std::uint8_t *memory, std::uint64_t load_address) const;

 private:
  std::vector<std::uint8_t> file_;
  std::string what_;
  std::uint16_t machine_ = 0;
  std::uint64_t image_base_ = 0;
  std::uint32_t entry_rva_ = 0, size_of_image_ = 0, size_of_headers_ = 0;
  std::uint32_t reloc_rva_ = 0, reloc_size_ = 0;
  std::vector<PeSection> sections_;
};

}  // namespace sim
