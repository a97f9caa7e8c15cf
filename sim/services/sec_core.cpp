#include "sim/services/sec_core.h"

#include <cstring>
#include <fmt/format.h>

#include "sim/machine/arena.h"

namespace sim {
namespace {

static_assert(SecCore::kTemporaryRamBase >= Arena::kFirmwareRamBase, "temporary RAM lies in the firmware's RAM");
static_assert(sbsim::kPermanentMemoryBase + sbsim::kPermanentMemorySize <= Arena::kBase + Arena::kSize,
              "permanent memory lies in the simulator's RAM");
static_assert(SecCore::kShadow < sbsim::kPermanentMemoryBase);

// EFI_SEC_PEI_HAND_OFF on IA32: DataSize (16 bits, then 2 bytes of padding), then eight
// 32-bit words.
constexpr std::uint32_t kHandOffSize = 36;
constexpr std::uint32_t kDescriptorSize = 12;  // Flags, Guid, Ppi (or Notify)

void *ram(std::uint64_t address) { return reinterpret_cast<void *>(address); }

}  // namespace

std::vector<SecCore::Placed> SecCore::prepare(std::uint64_t boot_volume, std::uint64_t volume_size,
                                              const std::vector<Entry> &ppis) {
  // The list is checked whole before anything is written: it must fit its descriptors, GUIDs and
  // interfaces into SEC's data.
  std::size_t interface_bytes = 0;
  for (const Entry &e : ppis)
    if ((e.flags & kPpiFlagPpi) != 0) interface_bytes += 4 * e.interface.size();
  static_assert(kListAt + kDescriptorSize * kMaxEntries <= kGuidsAt && kGuidsAt + 16 * kMaxEntries <= kInterfacesAt);
  if (ppis.empty() || ppis.size() > kMaxEntries)
    throw std::invalid_argument(fmt::format("SEC's PPI list: {} entries, where 1 to {} fit", ppis.size(), kMaxEntries));
  if (interface_bytes > kIdtAt - 4 - kInterfacesAt)
    throw std::invalid_argument(fmt::format("SEC's PPI list: {} bytes of interfaces, where {} fit", interface_bytes,
                                            kIdtAt - 4 - kInterfacesAt));

  // Cache-as-RAM holds whatever it holds at reset; SEC clears it and fills the stack with the
  // value the PEI core measures its use against. Permanent memory is left as zero pages.
  Arena &arena = Arena::instance();
  arena.fill(kTemporaryRamBase, kTemporaryRamSize + kSecDataSize + kShadowSize, 0);
  arena.fill(kTemporaryRamBase + kTemporaryRamSize - kStackSize, kStackSize, kStackFill);
  arena.discard(sbsim::kPermanentMemoryBase, sbsim::kPermanentMemorySize);
  scratch_used_ = 0;

  const std::uint32_t words[] = {
      static_cast<std::uint32_t>(boot_volume),
      static_cast<std::uint32_t>(volume_size),
      static_cast<std::uint32_t>(kTemporaryRamBase),
      static_cast<std::uint32_t>(kTemporaryRamSize),
      static_cast<std::uint32_t>(kTemporaryRamBase),  // the PEI core's heap: the bottom of temporary RAM
      static_cast<std::uint32_t>(kTemporaryRamSize - kStackSize),
      static_cast<std::uint32_t>(kTemporaryRamBase + kTemporaryRamSize - kStackSize),  // its stack: the top
      static_cast<std::uint32_t>(kStackSize)};
  *static_cast<std::uint16_t *>(ram(kSecData)) = kHandOffSize;
  std::memcpy(ram(kSecData + 4), words, sizeof words);

  std::vector<Placed> placed;
  std::uint64_t interface = kSecData + kInterfacesAt;
  for (std::size_t i = 0; i < ppis.size(); ++i) {
    const Entry &e = ppis[i];
    const std::uint64_t d = kSecData + kListAt + kDescriptorSize * i;
    const std::uint64_t guid = kSecData + kGuidsAt + 16 * i;
    std::memcpy(ram(guid), &e.guid, sizeof e.guid);
    std::uint32_t target = e.notify;
    if ((e.flags & kPpiFlagPpi) != 0) {
      target = static_cast<std::uint32_t>(interface);
      for (std::uint32_t w : e.interface) {
        std::memcpy(ram(interface), &w, 4);
        interface += 4;
      }
    }
    const std::uint32_t flags = e.flags | (i + 1 == ppis.size() ? kPpiFlagTerminate : 0);
    const std::uint32_t descriptor[] = {flags, static_cast<std::uint32_t>(guid), target};
    std::memcpy(ram(d), descriptor, sizeof descriptor);
    placed.push_back({static_cast<std::uint32_t>(d), (e.flags & kPpiFlagPpi) != 0 ? target : 0});
  }
  return placed;
}

std::uint64_t SecCore::shadow(const PeImage &core) {
  if (core.size_of_image() > kShadowSize)
    throw std::runtime_error(fmt::format("SEC: the PEI core ({} bytes) is larger than the RAM it is copied to", core.size_of_image()));
  core.load(static_cast<std::uint8_t *>(ram(kShadow)), kShadow);
  return kShadow + core.entry_rva();
}

void SecCore::start(std::uint64_t entry) {
  cpu_.set_idtr(kSecData + kIdtAt, kIdtLimit);
  cpu_.set_stack(kTemporaryRamBase + kTemporaryRamSize - kStackSize, kTemporaryRamBase + kTemporaryRamSize);
  cpu_.call(entry, {hand_off(), ppi_list()});
  throw EmulationFault("SEC: the PEI core returned to SEC");
}

std::uint32_t SecCore::scratch(std::size_t bytes) {
  const std::uint64_t at = kSecData + kScratchAt + scratch_used_;
  scratch_used_ += (bytes + 15) & ~std::size_t{15};
  if (kScratchAt + scratch_used_ > kSecDataSize) throw std::runtime_error("SEC: scratch RAM exhausted");
  return static_cast<std::uint32_t>(at);
}

}  // namespace sim
