// Host CPU per simulated boot of the default board (PEI passes, DXE, the prompt answered) on
// each engine, with the trace recording as sbsim records it, and without.
#include <benchmark/benchmark.h>

#include "sim/engines/modules.h"
#include "sim/board/pei_boot.h"

namespace {

void Boot(benchmark::State &state, sim::Engine engine, bool trace) {
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
}

BENCHMARK_CAPTURE(Boot, host_traced, sim::Engine::Host, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Boot, host, sim::Engine::Host, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Boot, image_traced, sim::Engine::Image, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Boot, image, sim::Engine::Image, false)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
