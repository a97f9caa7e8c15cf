// The named fields of the southbridge configuration block, for decoding and for scenarios.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

#include "sb_pei/sb_pei.h"

namespace sim {

struct ConfigField {
  std::string_view name;
  unsigned offset;
  unsigned bytes;  // 1, 2 or 4
};

std::span<const ConfigField> sb_config_fields();
const ConfigField *find_sb_config_field(std::string_view name);
std::uint32_t read_field(const SB_CONFIG &config, const ConfigField &field);
void write_field(SB_CONFIG &config, const ConfigField &field, std::uint32_t value);

}  // namespace sim
