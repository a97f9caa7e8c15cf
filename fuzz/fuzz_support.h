// What the fuzz targets share: a broken invariant is a crash, with a line saying which.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// True for one input in `n`. An input that has run out of bytes reads as the range's lowest
// value, so that is the common answer: short inputs (most of what the fuzzer tries) take the
// usual path, not the rare and often slowest one.
inline bool one_in(FuzzedDataProvider &in, unsigned n) { return in.ConsumeIntegralInRange<unsigned>(1, n) == n; }

[[noreturn]] inline void violated(const char *what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace fuzz
