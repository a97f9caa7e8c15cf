// A PEI firmware volume as sbsim --pei-volume reads it from a file a user hands it: the volume
// header, FFS files, sections, dependency expressions and the PE32/TE images. Invariants: every
// fault is a refusal that names it (no crash, no read outside the input: ASan); what is accepted
// lies inside the volume; every image accepted can be laid out where it lies and elsewhere.
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "sim/image/pei_volume.h"

using fuzz::violated;

namespace {

constexpr std::uint32_t kLayoutLimit = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  try {
    const sim::PeiVolume v = sim::PeiVolume::parse({data, data + size}, "fuzzed");
    const std::uint64_t length = v.fv().length();
    if (length > size) violated("a volume longer than its file");
    for (const sim::FfsFile &f : v.fv().files()) {
      if (f.offset + f.size > length) violated("a file past the volume's end");
      for (const sim::FfsSection &s : f.sections)
        if (s.offset < f.offset || s.offset + s.size > f.offset + f.size) violated("a section outside its file");
    }
    if (v.modules().empty() || v.modules().front().type != sim::kFfsPeiCore) violated("no PEI core first");
    for (const sim::VolumeModule &m : v.modules()) {
      if (m.image_offset + m.image_size > length) violated("an image outside the volume");
      try {
        const sim::PeImage pe = v.image(m);
        // Laying an image out clears all of its SizeOfImage first: one that claims more memory
        // than kLayoutLimit is not laid out (its relocations are checked the same way at any size).
        if (pe.size_of_image() > kLayoutLimit) continue;
        const auto memory = std::make_unique_for_overwrite<std::uint8_t[]>(pe.size_of_image());
        pe.load(memory.get(), m.first);
        pe.load(memory.get(), 0x30000000);
      } catch (const std::runtime_error &) {
        // An image whose relocations point outside it: refused by name.
      }
    }
  } catch (const std::runtime_error &) {
    // Refused, with the fault named.
  }
  return 0;
}
