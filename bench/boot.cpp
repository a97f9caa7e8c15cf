// Host CPU per simulated boot of the default board (PEI passes, DXE, the prompt answered) on
// each engine, with the trace recording as sbsim records it, and without; and from the
// simulator's PEI volume ($SB_PEI_VOLUME, as sbsim --pei-volume boots it: EDK2's PEI core and
// SbPei in the emulator, DXE on the image engine). The image engine also runs once without the
// memory check, to show what the check costs.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "sim/engines/modules.h"
#include "sim/board/pei_boot.h"
#include "sim/board/volume_boot.h"

namespace {

void Boot(benchmark::State &state, sim::Engine engine, bool trace, bool check_memory = true) {
  sim::SbPeiModule::check_memory(check_memory);
  const sim::Board board = sim::default_board();
  std::size_t accesses = 0;
  for (auto _ : state) {
    sim::BoardHardware hw(board);
    hw.machine.trace().set_enabled(trace);
    const auto passes = sim::run_pei_passes(board, hw, 4, engine);
    const sim::DxeResult dxe = sim::run_dxe(board, hw, passes.back().boot_mode, engine);
    if (dxe.enter_setup != 1) state.SkipWithError("the boot did not end in the prompt's Del");
    accesses = hw.machine.counts().io + hw.machine.counts().mem;
    benchmark::DoNotOptimize(accesses);
  }
  state.counters["accesses"] = static_cast<double>(accesses);
  sim::SbPeiModule::check_memory(true);
}

void VolumeBoot(benchmark::State &state, bool trace, bool check_memory = true) {
  const char *volume = std::getenv("SB_PEI_VOLUME");
  if (volume == nullptr) {
    state.SkipWithError("SB_PEI_VOLUME names no volume");
    return;
  }
  const sim::Board board = sim::default_board();
  std::size_t accesses = 0;
  for (auto _ : state) {
    sim::BoardHardware hw(board);
    hw.machine.trace().set_enabled(trace);
    sim::SbPeiModule::check_memory(check_memory);
    const sim::VolumeBoot boot =
        sim::run_volume_boot(board, hw, volume, sim::Engine::Image, {.check_memory = check_memory});
    sim::SbPeiModule::check_memory(true);
    if (!boot.dxe || boot.dxe->enter_setup != 1) state.SkipWithError("the boot did not end in the prompt's Del");
    accesses = hw.machine.counts().io + hw.machine.counts().mem;
    benchmark::DoNotOptimize(accesses);
  }
  state.counters["accesses"] = static_cast<double>(accesses);
}

BENCHMARK_CAPTURE(Boot, host_traced, sim::Engine::Host, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Boot, host, sim::Engine::Host, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Boot, image_traced, sim::Engine::Image, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Boot, image, sim::Engine::Image, false)->Unit(benchmark::kMicrosecond);
// What the memory check costs: the same boot without it.
BENCHMARK_CAPTURE(Boot, image_unchecked, sim::Engine::Image, false, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(VolumeBoot, volume_traced, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(VolumeBoot, volume, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(VolumeBoot, volume_unchecked, false, false)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
