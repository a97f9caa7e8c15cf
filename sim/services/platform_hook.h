// The platform module's side of SbPei: the platform hook PPI, whose hook a test or a board
// scenario supplies per hook point.
#pragma once
#include <functional>
#include <vector>

#include "sb_pei/sb_pei.h"
#include "sim/services/pei_core.h"

namespace sim {

using PlatformHookFn = std::function<void(UINT32 hook_point, SB_CONFIG &config)>;

// One call of the platform's hook: a span of the timeline ("hook 0x100") around what the
// platform writes into the block (nothing for a null block).
void run_hook_point(Timeline &timeline, UINT32 hook_point, SB_CONFIG *config, const PlatformHookFn &fn);

class PlatformHook {
 public:
  using Fn = PlatformHookFn;
  struct Call {
    UINT32 hook_point;
    UINT32 reserved;
    SB_CONFIG *config;
    EFI_BOOT_MODE boot_mode;  // the PEI boot mode when the hook ran
    std::size_t ppi_count;    // PPIs installed when the hook ran
    std::size_t accesses_before;  // hardware accesses in the machine's trace when the hook ran
  };

  // Installs the platform hook PPI into `core`. One hook object may be active at a time.
  PlatformHook(PeiCore &core, Fn fn);
  ~PlatformHook();
  PlatformHook(const PlatformHook &) = delete;
  PlatformHook &operator=(const PlatformHook &) = delete;

  const std::vector<Call> &calls() const { return calls_; }
  SB_PLATFORM_HOOK function() const;

 private:
  static EFI_STATUS EFIAPI Trampoline(UINT32 hook_point, UINT32 reserved, SB_CONFIG *config);
  PeiCore &core_;
  Fn fn_;
  std::vector<Call> calls_;
};

}  // namespace sim
