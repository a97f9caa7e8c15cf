// Early southbridge programming.
#include "sb_pei/sb_pei.h"

namespace sbpei {

// Not yet implemented: programs nothing.
void SbEarlyInit(SB_CONFIG *) {}

}  // namespace sbpei
