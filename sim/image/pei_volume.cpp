#include "sim/image/pei_volume.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <iterator>
#include <map>

namespace sim {
namespace {

constexpr std::uint64_t kPage = 0x1000;
constexpr std::uint64_t k4GiB = 1ull << 32;

constexpr std::uint32_t kDescriptorPpi = 0x00000010;
constexpr std::uint32_t kDescriptorNotify = 0x00000060;  // either notify type

std::uint32_t word_at(const std::uint8_t *p) {
  std::uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Whether the image `image` (its bytes as they lie at `address`) holds a PPI descriptor of
// `guid`: the flags word, then a pointer to a copy of the GUID inside the image.
bool installs(const std::uint8_t *image, std::size_t size, std::uint64_t address, const EFI_GUID &guid) {
  const auto *g = reinterpret_cast<const std::uint8_t *>(&guid);
  std::vector<std::uint32_t> copies;  // where the GUID lies, as the image's pointers name it
  for (const std::uint8_t *at = image; (at = std::search(at, image + size, g, g + sizeof guid)) != image + size; ++at)
    copies.push_back(static_cast<std::uint32_t>(address + static_cast<std::uint64_t>(at - image)));
  for (std::size_t i = 4; !copies.empty() && i + 4 <= size; ++i) {
    const std::uint32_t flags = word_at(image + i - 4);
    if ((flags & kDescriptorPpi) != 0 && (flags & kDescriptorNotify) == 0 &&
        std::find(copies.begin(), copies.end(), word_at(image + i)) != copies.end())
      return true;
  }
  return false;
}

}  // namespace

void PeiVolume::FreePages::operator()(std::uint8_t *p) const {
  if (p != nullptr) munmap(p, bytes);
}

PeImage PeiVolume::image(const VolumeModule &m) const {
  const auto first = fv_.bytes().begin() + static_cast<std::ptrdiff_t>(m.image_offset);
  return PeImage::parse({first, first + static_cast<std::ptrdiff_t>(m.image_size)}, fv_.what() + ": " + m.name);
}

const VolumeModule *PeiVolume::peim_installing(const EFI_GUID &guid) const {
  for (const VolumeModule &m : modules_) {
    if (m.type != kFfsPeiCore && installs(fv_.bytes().data() + m.image_offset, m.image_size, m.first, guid)) return &m;
  }
  return nullptr;
}

const VolumeModule *PeiVolume::find(const EFI_GUID &file) const {
  for (const VolumeModule &m : modules_)
    if (GuidsEqual(m.file, file)) return &m;
  return nullptr;
}

PeiVolume PeiVolume::parse(std::vector<std::uint8_t> bytes, const std::string &what) {
  PeiVolume v;
  v.fv_ = FirmwareVolume::parse(std::move(bytes), what);
  const FirmwareVolume &fv = v.fv_;
  const FfsFile *core = fv.first_of_type(kFfsPeiCore);
  if (core == nullptr) throw VolumeError(what + ": no PEI core in the volume");

  // The order a PEI core searches: the core first, then every PEIM in the volume.
  std::vector<const FfsFile *> files{core};
  for (const FfsFile &f : fv.files())
    if (f.type == kFfsPeim || f.type == kFfsCombinedPeimDriver) files.push_back(&f);
  for (const FfsFile *f : files) {
    const FfsSection *s = fv.image_section(*f);
    if (s == nullptr) {
      if (f == core) throw VolumeError(what + ": the PEI core has no PE32 or TE image");
      continue;  // not code the PEI core can start
    }
    VolumeModule m;
    m.name = f->display_name();
    m.file = f->name;
    m.type = f->type;
    m.te = s->type == kSectionTe;
    m.image_offset = s->offset;
    m.image_size = s->size;
    const PeImage pe = v.image(m);
    if (pe.machine() != PeImage::kMachineIa32) throw VolumeError(fmt::format("{}: {} is not an IA32 image", what, m.name));
    if (const FfsSection *d = f->section(kSectionPeiDepex)) {
      try {
        m.depex = decode_depex(fv.bytes().data() + d->offset, d->size);
      } catch (const VolumeError &e) {
        m.depex_problem = e.what();
      }
    }
    if (f == core) {
      // The PEI core's image says where the volume was built to lie.
      const std::uint64_t base = pe.preferred_base() - s->offset;
      if (pe.preferred_base() < s->offset || base % kPage != 0 || base + fv.length() > k4GiB)
        throw VolumeError(fmt::format("{}: the PEI core is linked for 0x{:X}, which puts the volume at no place in "
                                      "flash (page aligned, below 4 GiB)",
                                      what, pe.preferred_base()));
      v.base_ = base;
    }
    m.first = v.base_ + s->offset;
    m.end = m.first + std::max<std::uint64_t>(s->size, pe.size_of_image());
    m.entry = m.first + pe.entry_rva();
    // In place, the image's sections lie in the file as in memory, where it was linked for.
    if (pe.preferred_base() != m.first)
      m.xip_problem = fmt::format("linked for 0x{:X}, but lies at 0x{:X}", pe.preferred_base(), m.first);
    for (const PeSection &sec : pe.sections())
      if (sec.raw_size != 0 && sec.raw_offset != sec.rva && m.xip_problem.empty())
        m.xip_problem = fmt::format("section {} is not laid out to run in place", sec.name);
    v.modules_.push_back(std::move(m));
  }

  v.flash_size_ = (fv.length() + kPage - 1) & ~(kPage - 1);
  void *p = mmap(nullptr, v.flash_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::runtime_error(what + ": no memory for the flash");
  v.flash_ = {static_cast<std::uint8_t *>(p), FreePages{v.flash_size_}};
  std::memcpy(v.flash_.get(), fv.bytes().data(), fv.length());
  std::memset(v.flash_.get() + fv.length(), fv.erase_polarity() ? 0xFF : 0, v.flash_size_ - fv.length());
  return v;
}

const PeiVolume &PeiVolume::load(const std::string &path) {
  static std::map<std::string, std::unique_ptr<PeiVolume>> cache;
  auto it = cache.find(path);
  if (it == cache.end()) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw VolumeError(fmt::format("cannot read the volume {}", path));
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    it = cache.emplace(path, std::make_unique<PeiVolume>(parse(std::move(bytes), path))).first;
  }
  return *it->second;
}

}  // namespace sim
