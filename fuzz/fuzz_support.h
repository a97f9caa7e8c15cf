// What the fuzz targets share: a broken invariant is a crash, with a line saying which.
#pragma once
#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void violated(const char *what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

}  // namespace fuzz
