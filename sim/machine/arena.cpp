#include "sim/machine/arena.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

Arena &Arena::instance() {
  static Arena arena;
  return arena;
}

Arena::Arena() {
  void *p = mmap(reinterpret_cast<void *>(kBase), kSize, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED || reinterpret_cast<std::uint64_t>(p) != kBase) {
    std::fprintf(stderr, "sim: cannot map the RAM arena at 0x%llx: %s\n", static_cast<unsigned long long>(kBase),
                 p == MAP_FAILED ? std::strerror(errno) : "placed elsewhere");
    std::abort();
  }
  base_ = static_cast<std::uint8_t *>(p);
}

bool Arena::contains(const void *p, std::size_t bytes) const {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  const auto b = reinterpret_cast<std::uintptr_t>(base_);
  return a >= b && a + bytes <= b + kSize;
}

void *Arena::allocate(std::size_t bytes, std::size_t align) {
  std::size_t start = (used_ + align - 1) & ~(align - 1);
  if (start + bytes > kAllocatableSize) {
    std::fputs("sim: RAM arena exhausted\n", stderr);
    std::abort();
  }
  used_ = start + bytes;
  std::memset(base_ + start, 0, bytes);
  return base_ + start;
}

}  // namespace sim
