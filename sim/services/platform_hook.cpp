#include "sim/services/platform_hook.h"

#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "sim/machine/arena.h"

namespace sim {
namespace {
PlatformHook *g_active = nullptr;
}

PlatformHook::PlatformHook(PeiCore &core, Fn fn) : core_(core), fn_(std::move(fn)) {
  if (g_active != nullptr) {
    std::fputs("sim: only one platform hook can be active\n", stderr);
    std::abort();
  }
  g_active = this;
  auto *ppi = static_cast<SB_PLATFORM_HOOK_PPI *>(Arena::instance().allocate(sizeof(SB_PLATFORM_HOOK_PPI)));
  ppi->Reserved = 0;
  ppi->Hook = Trampoline;
  core.install_ppi(gSbPlatformHookPpiGuid, ppi);
}

PlatformHook::~PlatformHook() { g_active = nullptr; }

SB_PLATFORM_HOOK PlatformHook::function() const { return Trampoline; }

EFI_STATUS EFIAPI PlatformHook::Trampoline(UINT32 hook_point, UINT32 reserved, SB_CONFIG *config) {
  if (g_active == nullptr) return EFI_NOT_READY;
  PlatformHook &self = *g_active;
  self.calls_.push_back({hook_point, reserved, config, self.core_.boot_mode(), self.core_.ppis().size(),
                         self.core_.machine().trace().size()});
  run_hook_point(self.core_.machine().timeline(), hook_point, config, self.fn_);
  return EFI_SUCCESS;
}

void run_hook_point(Timeline &timeline, UINT32 hook_point, SB_CONFIG *config, const PlatformHookFn &fn) {
  const std::string span = fmt::format("hook 0x{:X}", hook_point);
  timeline.begin(span);
  if (fn && config != nullptr) fn(hook_point, *config);
  timeline.end(span);
}

}  // namespace sim
