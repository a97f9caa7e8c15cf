// A PEI firmware volume as the reset vector finds it in flash: where it was built to lie (its
// images are rebased to run in place there), the PEI core in it, and every PEIM with the range
// its image occupies, its entry point and its dependency expression. A PEIM that cannot run in
// place where it lies is kept, with the reason.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/image/firmware_volume.h"
#include "sim/image/pe_image.h"

namespace sim {

struct VolumeModule {
  std::string name;  // the UI name, else the file GUID
  EFI_GUID file{};
  std::uint8_t type = 0;  // kFfsPeiCore, kFfsPeim
  std::uint64_t first = 0, end = 0;  // its image, where the volume lies
  std::uint64_t entry = 0;
  bool te = false;
  std::optional<std::vector<DepexOp>> depex;  // none: no PEI_DEPEX section (or one that cannot be read)
  std::string depex_problem;  // why its PEI_DEPEX section cannot be read (empty: it can, or there is none)
  std::string xip_problem;    // why it cannot run in place (empty: it can)
  std::size_t image_offset = 0, image_size = 0;  // its image section in the volume
};

class PeiVolume {
 public:
  // Throws VolumeError (or std::runtime_error from the image loader) naming what is wrong.
  static PeiVolume parse(std::vector<std::uint8_t> bytes, const std::string &what);
  // Read once and kept for the life of the process.
  static const PeiVolume &load(const std::string &path);

  const FirmwareVolume &fv() const { return fv_; }
  // The address the volume was built to lie at: the PEI core's image says it.
  std::uint64_t base() const { return base_; }
  const std::vector<VolumeModule> &modules() const { return modules_; }
  const VolumeModule &pei_core() const { return modules_.front(); }
  const VolumeModule *find(const EFI_GUID &file) const;
  // The first PEIM that installs the PPI `guid` from a descriptor in its image: a PPI descriptor
  // (the PPI flag set, no notify flag) whose GUID pointer points at that GUID in the image, as it
  // lies in flash. A PEIM that only looks the PPI up holds the GUID but no such descriptor.
  const VolumeModule *peim_installing(const EFI_GUID &guid) const;
  // The image of a module, as it lies in the volume.
  PeImage image(const VolumeModule &m) const;

  // The volume in page-aligned host memory, as flash holds it (whole pages from base()).
  std::uint8_t *flash() const { return flash_.get(); }
  std::uint64_t flash_size() const { return flash_size_; }

 private:
  FirmwareVolume fv_;
  std::uint64_t base_ = 0;
  std::vector<VolumeModule> modules_;  // the PEI core first, then the PEIMs in volume order
  struct FreePages {
    std::size_t bytes;
    void operator()(std::uint8_t *p) const;
  };
  std::unique_ptr<std::uint8_t, FreePages> flash_{nullptr, FreePages{0}};
  std::uint64_t flash_size_ = 0;
};

}  // namespace sim
