#include "sim/machine/arena.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sim {

std::string mappings_over(std::uint64_t address, std::uint64_t size) {
  std::FILE *maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return "(the process's mappings cannot be read)";
  std::string out;
  char line[512];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long long first = 0, end = 0;
    if (std::sscanf(line, "%llx-%llx", &first, &end) != 2 || end <= address || first >= address + size) continue;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!out.empty()) out += "; ";
    out += text;
  }
  std::fclose(maps);
  return out.empty() ? std::string("nothing mapped there now") : out;
}

Arena &Arena::instance() {
  static Arena arena;
  return arena;
}

Arena::Arena() {
  void *p = mmap(reinterpret_cast<void *>(kBase), kSize, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED || reinterpret_cast<std::uint64_t>(p) != kBase) {
    const int error = errno;
    std::fprintf(stderr, "sim: cannot map the RAM arena at 0x%llx: %s; the process has there: %s\n",
                 static_cast<unsigned long long>(kBase), p == MAP_FAILED ? std::strerror(error) : "placed elsewhere",
                 mappings_over(kBase, kSize).c_str());
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

namespace {

void check_range(const Arena &arena, std::uint64_t address, std::uint64_t bytes) {
  if (address < Arena::kBase || bytes > Arena::kSize || address - Arena::kBase > Arena::kSize - bytes || arena.base() == nullptr)
    throw std::out_of_range("arena: a range outside the simulator's RAM");
}

}  // namespace

void Arena::fill(std::uint64_t address, std::uint64_t bytes, std::uint32_t pattern) {
  check_range(*this, address, bytes);
  std::uint8_t *p = base_ + (address - kBase);
  std::uint8_t word[4];
  std::memcpy(word, &pattern, sizeof word);
  if ((pattern & 0xFF) * 0x01010101u == pattern) {
    std::memset(p, word[0], bytes);
    return;
  }
  for (std::uint64_t i = 0; i < bytes; ++i) p[i] = word[i % 4];
}

void Arena::discard(std::uint64_t address, std::uint64_t bytes) {
  check_range(*this, address, bytes);
  // Whole pages go back to the system (they read as zero again); the edges are cleared.
  constexpr std::uint64_t kPage = 0x1000;
  const std::uint64_t first = (address + kPage - 1) & ~(kPage - 1), end = (address + bytes) & ~(kPage - 1);
  if (first >= end) {
    fill(address, bytes, 0);
    return;
  }
  fill(address, first - address, 0);
  madvise(base_ + (first - kBase), end - first, MADV_DONTNEED);
  fill(end, address + bytes - end, 0);
}

}  // namespace sim
