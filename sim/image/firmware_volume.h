// A PI firmware volume as the reset vector and the PEI core read it: the volume header, the FFS
// files in it, each file's sections, and the dependency expressions of PEIMs. Everything is
// checked before it is used (signatures, lengths, header and file checksums), since the bytes
// come from a file a user hands the simulator: a fault is a VolumeError that names the offset.
#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "pi/base.h"

namespace sim {

class VolumeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
std::string guid_to_string(const EFI_GUID &g);

// FFS file types (PI volume 3).
enum : std::uint8_t {
  kFfsRaw = 0x01,
  kFfsFreeform = 0x02,
  kFfsSecurityCore = 0x03,
  kFfsPeiCore = 0x04,
  kFfsDxeCore = 0x05,
  kFfsPeim = 0x06,
  kFfsDriver = 0x07,
  kFfsCombinedPeimDriver = 0x08,
  kFfsApplication = 0x09,
  kFfsFirmwareVolumeImage = 0x0B,
  kFfsPad = 0xF0,
};

// Section types.
enum : std::uint8_t {
  kSectionCompression = 0x01,
  kSectionGuidDefined = 0x02,
  kSectionPe32 = 0x10,
  kSectionTe = 0x12,
  kSectionVersion = 0x14,
  kSectionUserInterface = 0x15,
  kSectionRaw = 0x19,
  kSectionPeiDepex = 0x1B,
};

struct FfsSection {
  std::uint8_t type = 0;
  std::size_t offset = 0;  // of the section's data, from the start of the volume
  std::size_t size = 0;    // of the data
};

struct FfsFile {
  EFI_GUID name{};
  std::uint8_t type = 0;
  std::size_t offset = 0;  // of the file header, from the start of the volume
  std::size_t size = 0;    // header included
  std::vector<FfsSection> sections;
  std::string ui_name;  // from its user interface section, if it has one

  const FfsSection *section(std::uint8_t type) const;
  // The UI name, else the file GUID.
  std::string display_name() const;
};

class FirmwareVolume {
 public:
  // Parses and checks the volume at the start of `bytes` (bytes after its length are ignored).
  static FirmwareVolume parse(std::vector<std::uint8_t> bytes, const std::string &what);

  const std::vector<std::uint8_t> &bytes() const { return bytes_; }
  std::uint64_t length() const { return length_; }
  bool erase_polarity() const { return erase_polarity_; }
  const std::vector<FfsFile> &files() const { return files_; }
  const FfsFile *first_of_type(std::uint8_t type) const;
  const FfsFile *find(const EFI_GUID &name) const;
  // The image of a file: its TE or PE32 section (the order the PEI core looks in).
  const FfsSection *image_section(const FfsFile &file) const;
  const std::string &what() const { return what_; }

 private:
  void parse_files(std::size_t first);
  void parse_sections(FfsFile &file, std::size_t data, std::size_t end);

  std::vector<std::uint8_t> bytes_;
  std::string what_;
  std::uint64_t length_ = 0;
  bool erase_polarity_ = false;
  std::vector<FfsFile> files_;
};

// A PEIM's dependency expression, one operation each (PUSH carries its GUID).
struct DepexOp {
  enum Code : std::uint8_t { Before, After, Push, And, Or, Not, True, False, End, Sor };
  Code code;
  EFI_GUID guid{};
};

// Decodes a PEI dependency expression; refuses one that does not end, has operands a PEI core
// would not take (BEFORE, AFTER, SOR) or would not leave one value on the stack.
std::vector<DepexOp> decode_depex(const std::uint8_t *data, std::size_t size);
// Evaluates it against the PPIs that `installed` says are there.
bool evaluate_depex(const std::vector<DepexOp> &ops, const std::function<bool(const EFI_GUID &)> &installed);
// "PUSH <name>, PUSH <name>, AND, END", with `name` naming the GUIDs.
std::string describe_depex(const std::vector<DepexOp> &ops, const std::function<std::string(const EFI_GUID &)> &name);

}  // namespace sim
