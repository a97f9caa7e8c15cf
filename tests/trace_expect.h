// Ordered expectations on the trace: a test states the accesses in the order they must
// happen; a mismatch names the first differing access and shows its neighbours.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/trace.h"

namespace test {

struct Expected {
  sim::Op op;
  std::uint64_t addr;
  unsigned width;
  std::optional<std::uint32_t> value;  // nullopt: any value (reads of unknown contents)
  std::optional<std::uint32_t> stall_us = std::nullopt;  // a collapsed stall (see CollapseStalls)
};

inline Expected In(std::uint64_t port, unsigned width, std::optional<std::uint32_t> v = std::nullopt) {
  return {sim::Op::In, port, width, v};
}
inline Expected Out(std::uint64_t port, unsigned width, std::uint32_t v) { return {sim::Op::Out, port, width, v}; }
inline Expected Rd(std::uint64_t addr, unsigned width, std::optional<std::uint32_t> v = std::nullopt) {
  return {sim::Op::Rd, addr, width, v};
}
inline Expected Wr(std::uint64_t addr, unsigned width, std::uint32_t v) { return {sim::Op::Wr, addr, width, v}; }

// A wait on the ACPI PM timer (the 16-bit read of PM 0x64/0x65, then the polls of the timer
// port) collapsed into one pseudo-access, so that whole sequences can be compared whatever the
// number of polls. It matches Stall(us) when the wait ended at the first poll that showed
// more than `us` microseconds (at 0.28 us a tick).
constexpr std::uint64_t kStallMarker = 0x5'0000'0000;
std::vector<sim::Access> CollapseStalls(const std::vector<sim::Access> &trace, std::uint16_t timer_port);
inline Expected Stall(std::uint32_t us) { return {sim::Op::In, kStallMarker, 32, std::nullopt, us}; }

std::string describe(const sim::Access &a);
std::string describe(const Expected &e);

// Compares the whole sequence: an extra, missing or reordered access fails.
::testing::AssertionResult TraceIs(const std::vector<sim::Access> &actual, const std::vector<Expected> &expected);

}  // namespace test
