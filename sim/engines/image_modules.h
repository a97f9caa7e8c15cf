// The image engine's modules (see modules.h).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/engines/modules.h"
#include "sim/image/image_cpu.h"

namespace sim {

// SbPei's PPIs as an IA32 module calls them in the emulator: through the interfaces it locates,
// with its services pointer, a length and a buffer copied through a scratch area in RAM.
class Ia32SbPeiCalls final : public SbPeiPpis {
 public:
  static constexpr std::size_t kScratchSize = 512;
  // The IA32 interface of an installed PPI (0 if absent).
  using Locate = std::function<std::uint32_t(const EFI_GUID &, unsigned instance)>;
  // Makes a call into the module as the calling module would (the stand-in's core around it).
  using Around = std::function<std::uint64_t(const std::function<std::uint64_t()> &)>;

  Ia32SbPeiCalls(ImageCpu &cpu, std::uint32_t services, std::uint32_t scratch, Locate locate, Around around)
      : cpu_(cpu), services_(services), scratch_(scratch), locate_(std::move(locate)), around_(std::move(around)) {}

  EFI_STATUS smbus_execute(unsigned instance, EFI_SMBUS_DEVICE_ADDRESS address, UINTN command,
                           EFI_SMBUS_OPERATION operation, BOOLEAN pec, UINTN *length, void *buffer,
                           std::size_t buffer_size) override;
  EFI_STATUS reset_system() override;
  EFI_STATUS stall(UINTN microseconds) override;
  EFI_BOOT_MODE get_sleep_boot_mode() override;

 private:
  ImageCpu &cpu_;
  std::uint32_t services_, scratch_;
  Locate locate_;
  Around around_;
};

// A 32-bit module's statuses carry the error bit in bit 31.
std::uint32_t status32(EFI_STATUS s);
EFI_STATUS status64(std::uint64_t s32);

// Any IA32 PEIM image run as SbPei is: its entry point with the PEI services.
std::unique_ptr<SbPeiModule> load_sb_pei_image(PeiCore &core, const std::string &path, const ImageRun &run);
std::unique_ptr<CmosPromptModule> load_cmos_prompt_image(DxeCore &dxe, const std::string &path, const ImageRun &run);

}  // namespace sim
