#include "sim/services/guid_names.h"

#include <utility>

#include "pi/ppi/cpu_io.h"
#include "pi/ppi/reset.h"
#include "pi/ppi/smbus.h"
#include "pi/ppi/stall.h"
#include "pi/protocol/post_screen.h"
#include "sb_pei/sb_pei.h"
#include "sim/services/pei_core.h"
#include "sim/services/sec_core.h"

namespace sim {

std::string guid_name(const EFI_GUID &guid) {
  static const std::pair<const EFI_GUID *, const char *> kKnown[] = {
      {&gSbPrivatePpiGuid, "SB_PRIVATE_PPI"},
      {&gSbOptionalPpiGuid, "SB_OPTIONAL_PPI"},
      {&gSbInitDonePpiGuid, "SB_INIT_DONE_PPI"},
      {&gSbConfigHobGuid, "SB_CONFIG_HOB"},
      {&gSbPlatformHookPpiGuid, "SB_PLATFORM_HOOK_PPI"},
      {&gEfiPeiResetPpiGuid, "EFI_PEI_RESET_PPI"},
      {&gEfiPeiStallPpiGuid, "EFI_PEI_STALL_PPI"},
      {&gEfiPeiSmbusPpiGuid, "EFI_PEI_SMBUS_PPI"},
      {&gEfiPeiCpuIoPpiInstalledGuid, "EFI_PEI_CPU_IO_PPI_INSTALLED"},
      {&gEfiDxeIplPpiGuid, "EFI_DXE_IPL_PPI"},
      {&gEfiTemporaryRamDonePpiGuid, "EFI_PEI_TEMPORARY_RAM_DONE_PPI"},
      {&gEfiPeiMemoryDiscoveredPpiGuid, "EFI_PEI_PERMANENT_MEMORY_INSTALLED_PPI"},
      {&gPromptTriggerProtocolGuid, "PROMPT_TRIGGER_PROTOCOL"},
      {&gPostMessageProtocolGuid, "POST_MESSAGE_PROTOCOL"},
      {&gExtendedKeyInputProtocolGuid, "EXTENDED_KEY_INPUT_PROTOCOL"},
      {&gEfiHobListGuid, "HOB_LIST"},
      {&gSetupVariableGuid, "SETUP_VARIABLE"},
      {&gEnterSetupRequestTableGuid, "ENTER_SETUP_REQUEST"},
  };
  for (const auto &[g, name] : kKnown) {
    if (GuidsEqual(*g, guid)) return name;
  }
  return guid_to_string(guid);
}

}  // namespace sim
