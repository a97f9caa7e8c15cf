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

bool holds_guid(const std::vector<std::uint8_t> &bytes, std::size_t offset, std::size_t size, const EFI_GUID &guid) {
  const auto *g = reinterpret_cast<const std::uint8_t *>(&guid);
  const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
  return std::search(first, first + static_cast<std::ptrdiff_t>(size), g, g + sizeof guid) !=
         first + static_cast<std::ptrdiff_t>(size);
}

}  // namespace

void PeiVolume::FreePages::operator()(std::uint8_t *p) const {
  if (p != nullptr) munmap(p, bytes);
}

PeImage PeiVolume::image(const VolumeModule &m) const {
  const auto first = fv_.bytes().begin() + static_cast<std::ptrdiff_t>(m.image_offset);
  return PeImage::parse({first, first + static_cast<std::ptrdiff_t>(m.image_size)}, fv_.what() + ": " + m.name);
}

const VolumeModule *PeiVolume::peim_holding(const EFI_GUID &guid, const EFI_GUID &except) const {
  for (const VolumeModule &m : modules_) {
    if (m.type != kFfsPeiCore && !GuidsEqual(m.file, except) && holds_guid(fv_.bytes(), m.image_offset, m.image_size, guid))
      return &m;
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
        m.problem = e.what();
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
      m.problem = fmt::format("linked for 0x{:X}, but lies at 0x{:X}", pe.preferred_base(), m.first);
    for (const PeSection &sec : pe.sections())
      if (sec.raw_size != 0 && sec.raw_offset != sec.rva && m.problem.empty())
        m.problem = fmt::format("section {} is not laid out to run in place", sec.name);
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
