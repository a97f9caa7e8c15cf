// Ordered expectations on the trace: a test states the accesses in the order they must
// happen; a mismatch names the first differing access and shows its neighbours.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/trace.h"

namespace test {

struct Expected {
  sim::Op op;
  std::uint64_t addr;
  unsigned width;
  std::optional<std::uint32_t> value;  // nullopt: any value (reads of unknown contents)
};

inline Expected In(std::uint64_t port, unsigned width, std::optional<std::uint32_t> v = std::nullopt) {
  return {sim::Op::In, port, width, v};
}
inline Expected Out(std::uint64_t port, unsigned width, std::uint32_t v) { return {sim::Op::Out, port, width, v}; }
inline Expected Rd(std::uint64_t addr, unsigned width, std::optional<std::uint32_t> v = std::nullopt) {
  return {sim::Op::Rd, addr, width, v};
}
inline Expected Wr(std::uint64_t addr, unsigned width, std::uint32_t v) { return {sim::Op::Wr, addr, width, v}; }

std::string describe(const sim::Access &a);
std::string describe(const Expected &e);

// Compares the whole sequence: an extra, missing or reordered access fails.
::testing::AssertionResult TraceIs(const std::vector<sim::Access> &actual, const std::vector<Expected> &expected);

}  // namespace test
