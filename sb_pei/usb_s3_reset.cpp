// USB host controller port reset on S3 resume.
#include "sb_pei/sb_pei.h"

namespace sbpei {

// Not yet implemented: touches no controller.
void SbUsbS3Reset(SB_CONFIG *) {}

}  // namespace sbpei
