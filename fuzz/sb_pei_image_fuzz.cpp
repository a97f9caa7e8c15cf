// SbPei.efi itself, the shipped IA32 image, in the CPU emulator on a board the input describes:
// the sleep type kept in PM1 control, the flags and SMBus base the platform sets, the USB ports'
// state, a few PM registers; then up to three SMBus transactions of a later module through the
// image's SMBus PPI, with fuzzed operation, address, command, length and data.
// Oracle: the memory check (any read or write of the image's code in RAM it does not own, beside
// a buffer, below the stack pointer, into someone else's table or into temporary RAM after the
// switch), and the image must return: no fault, no hang.
// Coverage: the image's basic blocks as they run, fed to libFuzzer as extra counters (the
// emulator's own code is what the compiler instruments; the image's is not).
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "sim/board/pei_boot.h"
#include "sim/board/random_board.h"
#include "sim/image/image_cpu.h"

namespace {

constexpr std::size_t kCounters = 8192;  // one for every 2 bytes of a 16 KiB image (images lie page-aligned)

// libFuzzer reads this section after every input as more coverage.
__attribute__((section("__libfuzzer_extra_counters"))) std::uint8_t g_blocks[kCounters];

}  // namespace

// A service's layout keeps the image next to the fuzzer; a local build finds it in its build
// directory.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char self[PATH_MAX] = {};
  if (std::getenv("SB_IMAGE_DIR") == nullptr && readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
    std::string dir(self);
    dir.erase(dir.rfind('/'));
    if (access((dir + "/SbPei.efi").c_str(), R_OK) == 0) setenv("SB_IMAGE_DIR", dir.c_str(), 1);
  }
  sim::ImageCpu::observe_all_blocks([](std::uint64_t address) { ++g_blocks[(address / 2) % kCounters]; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static const sim::Board kDefault = sim::default_board();  // parsed once, not for every input
  const sim::Board board = sim::random_board(kDefault, [&in](std::uint64_t lo, std::uint64_t hi) {
    return in.ConsumeIntegralInRange<std::uint64_t>(lo, hi);
  });

  sim::BoardHardware hw(board);
  hw.machine.trace().set_enabled(false);
  try {
    sim::run_pei_passes(board, hw, 4, sim::Engine::Image);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "SbPei.efi did not return: %s\n", e.what());
    fuzz::violated("the image faulted or hung");
  }
  for (const sim::MemoryFinding &f : hw.machine.memory().findings()) {
    std::fprintf(stderr, "memory: %s\n", f.describe().c_str());
    fuzz::violated("SbPei.efi touched memory it does not own");
  }
  return 0;
}
