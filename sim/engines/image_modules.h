// The image engine's modules (see modules.h).
#pragma once
#include <memory>
#include <string>

#include "sim/engines/modules.h"

namespace sim {

// Any IA32 PEIM image run as SbPei is: its entry point with the PEI services.
std::unique_ptr<SbPeiModule> load_sb_pei_image(PeiCore &core, const std::string &path, bool count_instructions);
std::unique_ptr<CmosPromptModule> load_cmos_prompt_image(DxeCore &dxe, const std::string &path,
                                                         bool count_instructions);

}  // namespace sim
