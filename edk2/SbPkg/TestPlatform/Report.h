// The test platform's report lines: "SBTEST <module>: <text>" on the serial port, for the
// runner (tests/qemu/run_platform.py) to check. Written straight to the UART, so they appear in
// a RELEASE build too and do not depend on the console drivers.
#pragma once
// EDK2 library headers are C.
extern "C" {
#include <Library/BaseLib.h>
#include <Library/PrintLib.h>
#include <Library/SerialPortLib.h>
}

#define SB_TEST_REPORT(...)                                                   \
  do {                                                                        \
    CHAR8 ReportLine_[200];                                                   \
    UINTN ReportLength_ = AsciiSPrint(ReportLine_, sizeof(ReportLine_), __VA_ARGS__); \
    SerialPortWrite(reinterpret_cast<UINT8 *>(ReportLine_), ReportLength_);   \
  } while (0)
