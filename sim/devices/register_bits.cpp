#include "sim/devices/register_bits.h"

#include <fnmatch.h>

namespace sim {
namespace {

// ACPI PM1 control: the sleep type the boot-mode detection reads.
constexpr BitField kPm1Cnt[] = {{0, 0, "SCI_EN"}, {1, 1, "BM_RLD"}, {2, 2, "GBL_RLS"}, {10, 12, "SLP_TYP"},
                                {13, 13, "SLP_EN"}};
// SMBus host controller.
constexpr BitField kSmbusHostStatus[] = {{0, 0, "HOST_BUSY"}, {1, 1, "INTR"}, {2, 2, "DEV_ERR"},
                                         {3, 3, "BUS_COLLISION"}, {4, 4, "FAILED"}};
constexpr BitField kSmbusSlaveStatus[] = {{0, 0, "SLAVE_BUSY"}, {1, 5, "SLAVE_EVENTS"}};
constexpr BitField kSmbusHostControl[] = {{1, 1, "KILL"}, {2, 4, "PROTOCOL"}, {6, 6, "START"}};
constexpr BitField kSmbusSemaphore[] = {{4, 4, "HOST_CLAIM"}, {5, 5, "HOST_RELEASE"}, {6, 6, "OTHER_AGENT"}};
// EHCI port status and control: the S3 resume brings suspended ports out through Force Port Resume.
constexpr BitField kPortsc[] = {{0, 0, "CONNECT"},        {1, 1, "CONNECT_CHANGE"}, {2, 2, "ENABLED"},
                                {3, 3, "ENABLE_CHANGE"},  {6, 6, "FORCE_PORT_RESUME"}, {7, 7, "SUSPEND"},
                                {8, 8, "PORT_RESET"},     {12, 12, "PORT_POWER"},      {13, 13, "PORT_OWNER"}};
// RTC/CMOS.
constexpr BitField kCmosIndex[] = {{0, 6, "INDEX"}, {7, 7, "NMI_DISABLE"}};
constexpr BitField kRtcStatusA[] = {{0, 3, "RATE"}, {4, 6, "DIVIDER"}, {7, 7, "UPDATE_IN_PROGRESS"}};
constexpr BitField kCmosStatusFlag[] = {{0, 0, "STATUS_FLAG"}};
// Port 0x61: the speaker's gate and data, and timer 2's output.
constexpr BitField kSpeaker[] = {{0, 0, "TIMER2_GATE"}, {1, 1, "SPEAKER_DATA"}, {5, 5, "TIMER2_OUT"}};
// The PM window's bank select.
constexpr BitField kPmWindowBank[] = {{5, 5, "WINDOW_BANK1"}};
// PCI command register.
constexpr BitField kPciCommand[] = {{0, 0, "IO_SPACE"}, {1, 1, "MEMORY_SPACE"}, {2, 2, "BUS_MASTER"}};
// Reset control at 0xCF9.
constexpr BitField kResetControl[] = {{1, 1, "SYS_RST"}, {2, 2, "RST_CPU"}, {3, 3, "FULL_RST"}};

constexpr RegisterBits kRegisters[] = {
    {"PM1_CNT", kPm1Cnt},
    {"SMBUS? HSTS", kSmbusHostStatus},
    {"SMBUS? SSTS", kSmbusSlaveStatus},
    {"SMBUS? HCTL", kSmbusHostControl},
    {"SMBUS? SEMA", kSmbusSemaphore},
    {"USB * PORTSC?", kPortsc},
    {"CMOS_INDEX", kCmosIndex},
    {"CMOS 0x0A", kRtcStatusA},
    {"CMOS 0x46", kCmosStatusFlag},
    {"SPEAKER", kSpeaker},
    {"PM 0xC8", kPmWindowBank},
    {"PCI *:*.* reg 0x04", kPciCommand},
    {"RST_CNT", kResetControl},
};

}  // namespace

std::span<const RegisterBits> register_bits() { return kRegisters; }

std::span<const BitField> bit_fields_of(const std::string &reg) {
  for (const RegisterBits &r : kRegisters)
    if (fnmatch(r.pattern, reg.c_str(), 0) == 0) return r.fields;
  return {};
}

}  // namespace sim
