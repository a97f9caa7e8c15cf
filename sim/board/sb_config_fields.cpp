#include "sim/board/sb_config_fields.h"

#include <cstddef>
#include <cstring>

namespace sim {
namespace {

#define SB_FIELD(name) ConfigField{#name, offsetof(SB_CONFIG, name), sizeof(SB_CONFIG::name)}
constexpr ConfigField kFields[] = {
    SB_FIELD(PeiServices),   SB_FIELD(PlatformHook),     SB_FIELD(MiscOptions),   SB_FIELD(SmbusBase0),
    SB_FIELD(SmbusBase1),    SB_FIELD(Dev14F3Reg64),     SB_FIELD(PmReg48),       SB_FIELD(Dev14F3Reg9C),
    SB_FIELD(Dev14F3MmioBase), SB_FIELD(AcpiPm1EvtBlk),  SB_FIELD(AcpiPm1CntBlk), SB_FIELD(AcpiPmTmrBlk),
    SB_FIELD(AcpiCpuCntBlk), SB_FIELD(AcpiGpe0Blk),      SB_FIELD(PmReg6A),       SB_FIELD(PmReg6C),
    SB_FIELD(PmRegDA),       SB_FIELD(SbFlags),          SB_FIELD(UsbResetMask),  SB_FIELD(PlatformMmioTable),
    SB_FIELD(MiscOptions2),
};
#undef SB_FIELD

}  // namespace

std::span<const ConfigField> sb_config_fields() { return kFields; }

const ConfigField *find_sb_config_field(std::string_view name) {
  for (const ConfigField &f : kFields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

std::uint32_t read_field(const SB_CONFIG &config, const ConfigField &field) {
  std::uint32_t v = 0;
  std::memcpy(&v, reinterpret_cast<const std::uint8_t *>(&config) + field.offset, field.bytes);
  return v;
}

void write_field(SB_CONFIG &config, const ConfigField &field, std::uint32_t value) {
  std::memcpy(reinterpret_cast<std::uint8_t *>(&config) + field.offset, &value, field.bytes);
}

}  // namespace sim
