// CMOS bytes for the test platform modules: the index goes to port 0x70, the byte is moved at
// port 0x71 (an index with bit 7 set keeps NMI off while it is selected).
#pragma once
// EDK2 library headers are C.
extern "C" {
#include <Library/IoLib.h>
}

namespace sbtest {

constexpr UINT8 kCmosIndexPort = 0x70;
constexpr UINT8 kCmosDataPort = 0x71;

inline UINT8 ReadCmos(UINT8 Index) {
  IoWrite8(kCmosIndexPort, Index);
  return IoRead8(kCmosDataPort);
}

inline void WriteCmos(UINT8 Index, UINT8 Value) {
  IoWrite8(kCmosIndexPort, Index);
  IoWrite8(kCmosDataPort, Value);
}

}  // namespace sbtest
