// The PCI and MMIO table walkers with fuzzed tables and unit counts. Invariants: the PCI walker
// only touches the configuration ports, the MMIO walker only the ACPI MMIO area below block
// 0xF0; neither reads past its table (ASan) nor runs for ever (the watchdog).
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"

#include <vector>

#include "sb_pei/register/tables.h"
#include "sim/devices/plain_devices.h"

using fuzz::violated;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // A machine with the configuration mechanism (built in) and the ACPI MMIO area as plain
  // storage: the walkers only ever read a register to write it back changed, so what the
  // register holds decides nothing, and a whole board for each input cost most of its time.
  sim::Machine machine;
  machine.trace().set_enabled(false);
  machine.set_watchdog(10'000'000'000);
  sim::MemoryBlock acpi_mmio(0xFED80000, 0x10000, "ACPI_MMIO");
  acpi_mmio.attach(machine);
  sim::Machine::Scope scope(machine);
  if (in.ConsumeBool()) {
    const auto count = in.ConsumeIntegral<std::uint16_t>();
    // The table holds as many units as the walker may read (255 at most).
    const std::size_t units = std::min<std::size_t>(count, 255);
    std::vector<std::uint8_t> table = in.ConsumeBytes<std::uint8_t>(units * 3);
    table.resize(std::max<std::size_t>(units * 3, 3));
    auto exact = std::make_unique<std::uint8_t[]>(table.size());
    std::copy(table.begin(), table.end(), exact.get());
    machine.set_observer([](const sim::Access &a) {
      if (a.addr < 0xCF8 || a.addr > 0xCFF) violated("a PCI table step outside the configuration ports");
    });
    sbpei::ProgramPciTable(exact.get(), count);
  } else {
    std::vector<std::uint8_t> table = in.ConsumeRemainingBytes<std::uint8_t>();
    table.insert(table.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    auto exact = std::make_unique<std::uint8_t[]>(table.size());
    std::copy(table.begin(), table.end(), exact.get());
    machine.set_observer([](const sim::Access &a) {
      if (a.addr < 0xFED80000 || a.addr > 0xFED8EFFF) violated("an MMIO table step outside blocks 0x00-0xEF");
    });
    sbpei::ProgramMmioTable(reinterpret_cast<UINTN>(exact.get()));
  }
  return 0;
}
