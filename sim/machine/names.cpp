#include "sim/machine/names.h"

#include <fmt/format.h>

#include <iterator>

namespace sim {

std::string status_name(EFI_STATUS status) {
  struct Entry {
    EFI_STATUS status;
    const char *name;
  };
  static constexpr Entry kNames[] = {
      {EFI_SUCCESS, "EFI_SUCCESS"},
      {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
      {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
      {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
      {EFI_BAD_BUFFER_SIZE, "EFI_BAD_BUFFER_SIZE"},
      {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
      {EFI_NOT_READY, "EFI_NOT_READY"},
      {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
      {EFI_WRITE_PROTECTED, "EFI_WRITE_PROTECTED"},
      {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
      {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
      {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
      {EFI_TIMEOUT, "EFI_TIMEOUT"},
      {EFI_ALREADY_STARTED, "EFI_ALREADY_STARTED"},
      {EFI_ABORTED, "EFI_ABORTED"},
  };
  for (const Entry &e : kNames) {
    if (e.status == status) return e.name;
  }
  return fmt::format("0x{:X}", status);
}

std::string boot_mode_name(EFI_BOOT_MODE mode) {
  switch (mode) {
    case BOOT_WITH_FULL_CONFIGURATION: return "BOOT_WITH_FULL_CONFIGURATION";
    case BOOT_WITH_MINIMAL_CONFIGURATION: return "BOOT_WITH_MINIMAL_CONFIGURATION";
    case BOOT_ASSUMING_NO_CONFIGURATION_CHANGES: return "BOOT_ASSUMING_NO_CONFIGURATION_CHANGES";
    case BOOT_WITH_FULL_CONFIGURATION_PLUS_DIAGNOSTICS: return "BOOT_WITH_FULL_CONFIGURATION_PLUS_DIAGNOSTICS";
    case BOOT_WITH_DEFAULT_SETTINGS: return "BOOT_WITH_DEFAULT_SETTINGS";
    case BOOT_ON_S4_RESUME: return "BOOT_ON_S4_RESUME";
    case BOOT_ON_S5_RESUME: return "BOOT_ON_S5_RESUME";
    case BOOT_WITH_MFG_MODE_SETTINGS: return "BOOT_WITH_MFG_MODE_SETTINGS";
    case BOOT_ON_S2_RESUME: return "BOOT_ON_S2_RESUME";
    case BOOT_ON_S3_RESUME: return "BOOT_ON_S3_RESUME";
    case BOOT_ON_FLASH_UPDATE: return "BOOT_ON_FLASH_UPDATE";
    case BOOT_IN_RECOVERY_MODE: return "BOOT_IN_RECOVERY_MODE";
    default: return fmt::format("0x{:02X}", mode);
  }
}

std::string smbus_operation_name(unsigned operation) {
  static constexpr const char *kNames[] = {"QuickRead", "QuickWrite", "ReceiveByte", "SendByte",
                                           "ReadByte",  "WriteByte",  "ReadWord",    "WriteWord",
                                           "ReadBlock", "WriteBlock", "ProcessCall", "BWBRProcessCall"};
  return operation < std::size(kNames) ? kNames[operation] : fmt::format("operation {}", operation);
}

}  // namespace sim
