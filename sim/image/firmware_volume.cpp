#include "sim/image/firmware_volume.h"

#include <cstring>
#include <fmt/format.h>

namespace sim {
namespace {

// The volume header (PI volume 3, EFI_FIRMWARE_VOLUME_HEADER): offsets of what is read.
constexpr std::size_t kFsGuidAt = 16, kLengthAt = 32, kSignatureAt = 40, kAttributesAt = 44, kHeaderLengthAt = 48,
                      kExtHeaderOffsetAt = 52, kBlockMapAt = 56;
constexpr std::uint32_t kFvSignature = 0x4856465F;  // "_FVH"
constexpr std::uint32_t kErasePolarity = 0x00000800;
constexpr std::size_t kExtHeaderSizeAt = 16;        // in EFI_FIRMWARE_VOLUME_EXT_HEADER, after FvName

constexpr EFI_GUID kFfs2Guid = {0x8c8ce578, 0x8a3d, 0x4f1c, {0x99, 0x35, 0x89, 0x61, 0x85, 0xc3, 0x2d, 0xd3}};
constexpr EFI_GUID kFfs3Guid = {0x5473c07a, 0x3dcb, 0x4dca, {0xbd, 0x6f, 0x1e, 0x96, 0x89, 0xe7, 0x34, 0x9a}};

// The FFS file header (EFI_FFS_FILE_HEADER, and ..._HEADER2 for large files).
constexpr std::size_t kFileHeaderSize = 24, kLargeFileHeaderSize = 32;
constexpr std::size_t kFileChecksumAt = 17, kFileTypeAt = 18, kFileAttributesAt = 19, kFileSizeAt = 20,
                      kFileStateAt = 23;
constexpr std::uint8_t kAttribLargeFile = 0x01, kAttribChecksum = 0x40;
constexpr std::uint8_t kFixedFileChecksum = 0xAA;
// File states: the highest bit set (after erase polarity) says where the file is in its life.
constexpr std::uint8_t kStateDataValid = 0x04, kStateMarkedForUpdate = 0x08;

// Section headers (EFI_COMMON_SECTION_HEADER, and ..._HEADER2 when the size is 0xFFFFFF).
constexpr std::size_t kSectionHeaderSize = 4, kLargeSectionHeaderSize = 8;

constexpr std::size_t align(std::size_t v, std::size_t a) { return (v + a - 1) & ~(a - 1); }

std::uint32_t size24(const std::uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16; }

template <typename T>
T read_at(const std::vector<std::uint8_t> &b, std::size_t at) {
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

std::uint8_t sum8(const std::uint8_t *p, std::size_t n) {
  std::uint8_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s = static_cast<std::uint8_t>(s + p[i]);
  return s;
}

bool is_file_with_sections(std::uint8_t type) {
  return type != kFfsRaw && type != kFfsPad && type >= kFfsFreeform && type <= 0x0F;
}

}  // namespace

std::string guid_to_string(const EFI_GUID &g) {
  return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", g.Data1, g.Data2,
                     g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                     g.Data4[7]);
}

const FfsSection *FfsFile::section(std::uint8_t type) const {
  for (const FfsSection &s : sections)
    if (s.type == type) return &s;
  return nullptr;
}

std::string FfsFile::display_name() const { return ui_name.empty() ? guid_to_string(name) : ui_name; }

FirmwareVolume FirmwareVolume::parse(std::vector<std::uint8_t> bytes, const std::string &what) {
  FirmwareVolume v;
  v.what_ = what;
  if (bytes.size() < kBlockMapAt + 8) throw VolumeError(fmt::format("{}: {} bytes is too short for a volume header", what, bytes.size()));
  if (read_at<std::uint32_t>(bytes, kSignatureAt) != kFvSignature) throw VolumeError(what + ": no volume signature (_FVH) at offset 0x28");
  const EFI_GUID fs = read_at<EFI_GUID>(bytes, kFsGuidAt);
  if (!GuidsEqual(fs, kFfs2Guid) && !GuidsEqual(fs, kFfs3Guid))
    throw VolumeError(fmt::format("{}: file system {} is neither FFS2 nor FFS3", what, guid_to_string(fs)));
  v.length_ = read_at<std::uint64_t>(bytes, kLengthAt);
  const std::size_t header = read_at<std::uint16_t>(bytes, kHeaderLengthAt);
  if (header < kBlockMapAt + 8 || header % 2 != 0 || header > v.length_)
    throw VolumeError(fmt::format("{}: header length {} does not fit a volume of {} bytes", what, header, v.length_));
  if (v.length_ > bytes.size())
    throw VolumeError(fmt::format("{}: truncated: the header says {} bytes, the file has {}", what, v.length_, bytes.size()));
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < header; i += 2) sum = static_cast<std::uint16_t>(sum + read_at<std::uint16_t>(bytes, i));
  if (sum != 0) throw VolumeError(fmt::format("{}: the volume header's checksum is wrong (sum 0x{:04X})", what, sum));
  v.erase_polarity_ = (read_at<std::uint32_t>(bytes, kAttributesAt) & kErasePolarity) != 0;

  std::size_t first = header;
  if (const std::size_t ext = read_at<std::uint16_t>(bytes, kExtHeaderOffsetAt); ext != 0) {
    if (ext < header || ext + kExtHeaderSizeAt + 4 > v.length_)
      throw VolumeError(fmt::format("{}: extended header at 0x{:X} lies outside the volume", what, ext));
    const std::size_t ext_size = read_at<std::uint32_t>(bytes, ext + kExtHeaderSizeAt);
    if (ext_size < kExtHeaderSizeAt + 4 || ext + ext_size > v.length_)
      throw VolumeError(fmt::format("{}: extended header at 0x{:X} has a bad size {}", what, ext, ext_size));
    first = ext + ext_size;
  }
  bytes.resize(v.length_);
  v.bytes_ = std::move(bytes);
  v.parse_files(align(first, 8));
  return v;
}

void FirmwareVolume::parse_files(std::size_t at) {
  const std::uint8_t erased = erase_polarity_ ? 0xFF : 0x00;
  while (at + kFileHeaderSize <= length_) {
    const std::uint8_t *h = bytes_.data() + at;
    // Free space: a header that was never written.
    bool blank = true;
    for (std::size_t i = 0; i < kFileHeaderSize && blank; ++i) blank = h[i] == erased;
    if (blank) break;

    FfsFile f;
    std::memcpy(&f.name, h, sizeof f.name);
    f.type = h[kFileTypeAt];
    f.offset = at;
    const std::uint8_t attributes = h[kFileAttributesAt];
    const bool large = (attributes & kAttribLargeFile) != 0;
    const std::size_t hsize = large ? kLargeFileHeaderSize : kFileHeaderSize;
    if (at + hsize > length_) throw VolumeError(fmt::format("{}: file header at 0x{:X} runs past the volume's end", what_, at));
    f.size = large ? read_at<std::uint32_t>(bytes_, at + kFileHeaderSize) : size24(h + kFileSizeAt);
    if (f.size < hsize || at + f.size > length_)
      throw VolumeError(fmt::format("{}: file {} at 0x{:X} has a size of {} bytes that does not fit the volume", what_,
                                    guid_to_string(f.name), at, f.size));
    // The header checksum leaves out the file checksum and the state.
    const std::uint8_t header_sum = static_cast<std::uint8_t>(sum8(h, hsize) - h[kFileChecksumAt] - h[kFileStateAt]);
    if (header_sum != 0)
      throw VolumeError(fmt::format("{}: file {} at 0x{:X}: header checksum is wrong", what_, guid_to_string(f.name), at));
    const std::uint8_t state = erase_polarity_ ? static_cast<std::uint8_t>(~h[kFileStateAt]) : h[kFileStateAt];
    std::uint8_t highest = 0x80;
    while (highest != 0 && (state & highest) == 0) highest >>= 1;
    const bool valid = highest == kStateDataValid || highest == kStateMarkedForUpdate;
    if (valid) {
      if (attributes & kAttribChecksum) {
        if (static_cast<std::uint8_t>(sum8(h + hsize, f.size - hsize) + h[kFileChecksumAt]) != 0)
          throw VolumeError(fmt::format("{}: file {} at 0x{:X}: data checksum is wrong", what_, guid_to_string(f.name), at));
      } else if (h[kFileChecksumAt] != kFixedFileChecksum) {
        throw VolumeError(fmt::format("{}: file {} at 0x{:X}: file checksum 0x{:02X} where 0xAA belongs", what_,
                                      guid_to_string(f.name), at, h[kFileChecksumAt]));
      }
      if (is_file_with_sections(f.type)) parse_sections(f, at + hsize, at + f.size);
    }
    const std::size_t next = align(at + f.size, 8);
    if (valid && f.type != kFfsPad) files_.push_back(std::move(f));
    at = next;
  }
}

void FirmwareVolume::parse_sections(FfsFile &file, std::size_t at, std::size_t end) {
  for (at = align(at, 4); at + kSectionHeaderSize <= end; at = align(at, 4)) {
    const std::uint8_t *h = bytes_.data() + at;
    std::size_t size = size24(h);
    std::size_t hsize = kSectionHeaderSize;
    if (size == 0xFFFFFF) {
      if (at + kLargeSectionHeaderSize > end)
        throw VolumeError(fmt::format("{}: file {}: section header at 0x{:X} runs past the file", what_, file.display_name(), at));
      size = read_at<std::uint32_t>(bytes_, at + kSectionHeaderSize);
      hsize = kLargeSectionHeaderSize;
    }
    if (size < hsize || size > end - at)
      throw VolumeError(fmt::format("{}: file {}: section at 0x{:X} has a size of {} bytes that does not fit the file",
                                    what_, guid_to_string(file.name), at, size));
    const FfsSection s{h[3], at + hsize, size - hsize};
    if (s.type == kSectionUserInterface) {
      // A NUL-terminated UCS-2 string; the names here are plain ASCII.
      for (std::size_t i = 0; i + 1 < s.size; i += 2) {
        const std::uint16_t c = read_at<std::uint16_t>(bytes_, s.offset + i);
        if (c == 0) break;
        file.ui_name += c < 0x80 ? static_cast<char>(c) : '?';
      }
    }
    file.sections.push_back(s);
    at += size;
  }
}

const FfsFile *FirmwareVolume::first_of_type(std::uint8_t type) const {
  for (const FfsFile &f : files_)
    if (f.type == type) return &f;
  return nullptr;
}

const FfsFile *FirmwareVolume::find(const EFI_GUID &name) const {
  for (const FfsFile &f : files_)
    if (GuidsEqual(f.name, name)) return &f;
  return nullptr;
}

const FfsSection *FirmwareVolume::image_section(const FfsFile &file) const {
  const FfsSection *s = file.section(kSectionTe);
  return s != nullptr ? s : file.section(kSectionPe32);
}

// ---- Dependency expressions -------------------------------------------------------------------

std::vector<DepexOp> decode_depex(const std::uint8_t *data, std::size_t size) {
  std::vector<DepexOp> ops;
  int depth = 0;  // values on the evaluation stack
  for (std::size_t at = 0; at < size;) {
    const std::uint8_t code = data[at++];
    if (code > DepexOp::Sor) throw VolumeError(fmt::format("dependency expression: unknown opcode 0x{:02X}", code));
    DepexOp op{static_cast<DepexOp::Code>(code), {}};
    switch (op.code) {
      case DepexOp::Before:
      case DepexOp::After:
      case DepexOp::Sor:
        throw VolumeError(fmt::format("dependency expression: opcode 0x{:02X} has no place in a PEIM's", code));
      case DepexOp::Push:
        if (size - at < sizeof(EFI_GUID)) throw VolumeError("dependency expression: PUSH without its GUID");
        std::memcpy(&op.guid, data + at, sizeof op.guid);
        at += sizeof op.guid;
        ++depth;
        break;
      case DepexOp::True:
      case DepexOp::False:
        ++depth;
        break;
      case DepexOp::And:
      case DepexOp::Or:
        if (depth < 2) throw VolumeError("dependency expression: AND or OR with fewer than two values");
        --depth;
        break;
      case DepexOp::Not:
        if (depth < 1) throw VolumeError("dependency expression: NOT without a value");
        break;
      case DepexOp::End:
        if (depth != 1) throw VolumeError("dependency expression: END does not leave one value");
        ops.push_back(op);
        return ops;
    }
    ops.push_back(op);
  }
  throw VolumeError("dependency expression: no END");
}

bool evaluate_depex(const std::vector<DepexOp> &ops, const std::function<bool(const EFI_GUID &)> &installed) {
  std::vector<bool> stack;
  const auto pop = [&] {
    const bool v = stack.back();
    stack.pop_back();
    return v;
  };
  for (const DepexOp &op : ops) {
    switch (op.code) {
      case DepexOp::Push: stack.push_back(installed(op.guid)); break;
      case DepexOp::True: stack.push_back(true); break;
      case DepexOp::False: stack.push_back(false); break;
      case DepexOp::And: { const bool a = pop(), b = pop(); stack.push_back(a && b); break; }
      case DepexOp::Or: { const bool a = pop(), b = pop(); stack.push_back(a || b); break; }
      case DepexOp::Not: stack.back() = !stack.back(); break;
      case DepexOp::End: return stack.back();
      default: return false;
    }
  }
  return false;
}

std::string describe_depex(const std::vector<DepexOp> &ops, const std::function<std::string(const EFI_GUID &)> &name) {
  static constexpr const char *kNames[] = {"BEFORE", "AFTER", "PUSH", "AND", "OR", "NOT", "TRUE", "FALSE", "END", "SOR"};
  std::string out;
  for (const DepexOp &op : ops) {
    if (!out.empty()) out += ", ";
    out += kNames[op.code];
    if (op.code == DepexOp::Push) {
      out += ' ';
      out += name(op.guid);
    }
  }
  return out;
}

}  // namespace sim
