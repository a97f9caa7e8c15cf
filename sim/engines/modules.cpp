// The host engine's modules, and the choice between engines.
#include "sim/engines/modules.h"

#include <cstdlib>

#include "cmos_error_prompt/cmos_error_prompt.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/stall.h"
#include "sb_pei/sb_pei.h"
#include "sim/engines/image_modules.h"
#include "sim/machine/data_paths.h"

#ifndef SB_DEFAULT_IMAGE_DIR
#define SB_DEFAULT_IMAGE_DIR "."
#endif

namespace sim {

const char *engine_name(Engine e) { return e == Engine::Host ? "host" : "image"; }

std::optional<Engine> engine_named(std::string_view name) {
  if (name == "host") return Engine::Host;
  if (name == "image") return Engine::Image;
  return std::nullopt;
}

std::string image_path(const std::string &file) {
  if (const char *dir = std::getenv("SB_IMAGE_DIR"); dir != nullptr && *dir != 0) return std::string(dir) + "/" + file;
  if (const std::optional<std::string> installed = installed_data_dir()) return *installed + "images/" + file;
  return std::string(SB_DEFAULT_IMAGE_DIR) + "/" + file;
}

namespace {

class HostSbPei final : public SbPeiModule {
 public:
  explicit HostSbPei(PeiCore &core) : core_(core) {}
  EFI_STATUS run_entry() override { return core_.run(SbPeiEntry); }
  static_assert(sizeof(SB_PRIVATE_DATA) == 12 + 2 * sizeof(void *));

  EFI_STATUS smbus_execute(unsigned instance, EFI_SMBUS_DEVICE_ADDRESS address, UINTN command,
                           EFI_SMBUS_OPERATION operation, BOOLEAN pec, UINTN *length, void *buffer,
                           std::size_t) override {
    auto *ppi = static_cast<EFI_PEI_SMBUS_PPI *>(core_.locate(gEfiPeiSmbusPpiGuid, instance));
    if (ppi == nullptr) return EFI_NOT_FOUND;
    return core_.call([&](const EFI_PEI_SERVICES **ps) {
      return ppi->Execute(const_cast<EFI_PEI_SERVICES **>(ps), ppi, address, command, operation, pec, length, buffer);
    });
  }
  EFI_STATUS reset_system() override {
    auto *ppi = static_cast<EFI_PEI_RESET_PPI *>(core_.locate(gEfiPeiResetPpiGuid));
    if (ppi == nullptr) return EFI_NOT_FOUND;
    return core_.call([&](const EFI_PEI_SERVICES **ps) { return ppi->ResetSystem(ps); });
  }
  EFI_STATUS stall(UINTN microseconds) override {
    auto *ppi = static_cast<EFI_PEI_STALL_PPI *>(core_.locate(gEfiPeiStallPpiGuid));
    if (ppi == nullptr) return EFI_NOT_FOUND;
    return core_.call([&](const EFI_PEI_SERVICES **ps) { return ppi->Stall(ps, ppi, microseconds); });
  }
  EFI_BOOT_MODE get_sleep_boot_mode() override {
    auto *ppi = static_cast<SB_PRIVATE_PPI *>(core_.locate(gSbPrivatePpiGuid));
    if (ppi == nullptr) return 0;
    const SB_GET_SLEEP_BOOT_MODE fn = ppi->GetSleepBootMode;
    return core_.call([&](const EFI_PEI_SERVICES **ps) { return fn(ps); });
  }
  std::uint32_t platform_hook_as_seen() const override {
    auto *ppi = static_cast<SB_PLATFORM_HOOK_PPI *>(core_.locate(gSbPlatformHookPpiGuid));
    return ppi == nullptr ? 0 : static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(ppi->Hook));
  }
  std::uint32_t services_as_seen() const override {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(core_.services()));
  }
  std::size_t word_size() const override { return sizeof(UINTN); }

 private:
  PeiCore &core_;
};

class HostCmosPrompt final : public CmosPromptModule {
 public:
  explicit HostCmosPrompt(DxeCore &dxe) : dxe_(dxe) {
    cmos_prompt::gST = nullptr;  // a new load of the driver starts with its globals clear
  }
  EFI_STATUS start() override { return dxe_.start_image(CmosErrorPromptEntry); }

 private:
  DxeCore &dxe_;
};

ImageRun g_image_run;
std::string g_sb_pei_image = "SbPei.efi", g_dxe_image = "CmosErrorPrompt.efi";

// A file name alone is looked for where the shipped images are; a path is taken as it is.
std::string image_file(const std::string &name) {
  return name.find('/') == std::string::npos ? image_path(name) : name;
}

}  // namespace

void SbPeiModule::count_instructions(bool on) { g_image_run.count_instructions = on; }
void SbPeiModule::check_memory(bool on) { g_image_run.check_memory = on; }
void SbPeiModule::use_images(const std::string &pei, const std::string &dxe) {
  if (!pei.empty()) g_sb_pei_image = pei;
  if (!dxe.empty()) g_dxe_image = dxe;
}

std::unique_ptr<SbPeiModule> SbPeiModule::load(Engine engine, PeiCore &core) {
  if (engine == Engine::Image) return load_sb_pei_image(core, image_file(g_sb_pei_image), g_image_run);
  return std::make_unique<HostSbPei>(core);
}

std::unique_ptr<CmosPromptModule> CmosPromptModule::load(Engine engine, DxeCore &dxe) {
  if (engine == Engine::Image)
    return load_cmos_prompt_image(dxe, image_file(g_dxe_image), g_image_run);
  return std::make_unique<HostCmosPrompt>(dxe);
}

}  // namespace sim
