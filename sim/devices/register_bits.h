// The bit fields of the registers whose bits the device models give a meaning, by the names the
// trace gives the registers (shell patterns: "USB * PORTSC*"). A review tool uses them to say
// which field of a register a write changed.
#pragma once
#include <span>
#include <string>

namespace sim {

struct BitField {
  unsigned low, high;  // bit numbers, inclusive
  const char *name;
};

struct RegisterBits {
  const char *pattern;
  std::span<const BitField> fields;
};

std::span<const RegisterBits> register_bits();

// The fields of the register a trace names, if the simulator knows them (empty otherwise).
std::span<const BitField> bit_fields_of(const std::string &reg);

}  // namespace sim
