// SmbusExecute against a controller whose behaviour comes from the input: statuses, collisions,
// busy bits, the other agent, the device and its block count; then one to four calls with
// fuzzed operation, address, command, Length, buffer and PecCheck.
// Invariants: no access but the controller's own registers and the I/O delay port; the
// controller is given back after every call; the caller's buffer is never overrun (ASan); the
// calls leave the PEI memory (the installed PPI records among it) as they found it.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"

#include <memory>
#include <vector>

#include "pi/ppi/smbus.h"
#include "sb_pei/sb_pei.h"
#include "sim/devices/sb_pm.h"
#include "sim/devices/smbus.h"
#include "sim/services/pei_core.h"

namespace {

constexpr std::uint16_t kBase = 0x0B00;
using fuzz::violated;

// What every input shares: a machine with no device but the input's controller, a PEI core
// with the platform's configuration, and SbPei's SMBus PPI installed once. Execute keeps no
// state of its own between calls, so building all this for each input was time spent on
// nothing the input decides; the PEI memory is checked unchanged after every input instead.
struct Bench {
  sim::Machine machine;
  sim::PmRegisters pm;  // holds controller 0's base; the calls never touch the PM ports
  sim::PeiCore core{machine};
  SB_CONFIG config{};
  SB_PRIVATE_PPI private_ppi{0, kSbPrivateVersion, nullptr, &config};
  EFI_PEI_SMBUS_PPI *ppi = nullptr;
  std::vector<std::uint8_t> pei_memory;  // the HOB list and pool as InstallSmbusPpi left them

  Bench() {
    machine.trace().set_enabled(false);
    pm.set(0x2C, 16, kBase | 1);  // controller 0 decoded at 0xB00
    config.SmbusBase0 = kBase;
    core.install_ppi(gSbPrivatePpiGuid, &private_ppi);
    if (core.call([](const EFI_PEI_SERVICES **ps) { return sbpei::InstallSmbusPpi(ps); }) != EFI_SUCCESS)
      violated("the SMBus PPI could not be installed");
    ppi = static_cast<EFI_PEI_SMBUS_PPI *>(core.locate(gEfiPeiSmbusPpiGuid, 0));
    pei_memory = used_pei_memory();
  }

  std::vector<std::uint8_t> used_pei_memory() const {
    const EFI_HOB_HANDOFF_INFO_TABLE *hobs = core.hob_list();
    const auto *first = reinterpret_cast<const std::uint8_t *>(hobs->EfiMemoryBottom);
    return {first, reinterpret_cast<const std::uint8_t *>(hobs->EfiFreeMemoryBottom)};
  }
};

// The input's controller, decoded at 0xB00 for the input's calls and gone after them.
struct Controller : sim::SmbusController {
  explicit Controller(Bench &b) : SmbusController("SMBUS0", 0x2C), machine(b.machine) { attach(b.machine, b.pm); }
  ~Controller() { machine.unmap_io(kBase, kRegisters, this); }
  sim::Machine &machine;
};

// Every access the calls make. Left out of the coverage instrumentation: it runs at every poll
// and branches on nothing but the address, which the oracle itself judges.
__attribute__((no_sanitize("coverage"))) void check_access(const sim::Access &a, std::size_t &accesses) {
  const bool own = a.addr >= kBase && a.addr <= kBase + 8u;
  if (!own && a.addr != 0xED) violated("an access outside the controller's registers");
  ++accesses;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static Bench bench;
  FuzzedDataProvider in(data, size);
  Controller c(bench);
  std::size_t accesses = 0;
  bench.machine.set_observer([&accesses](const sim::Access &a) { check_access(a, accesses); });

  c.collide_first(in.ConsumeIntegralInRange<unsigned>(0, 4));
  // Busy bits that never clear cost a call its whole idle wait (3 x 101 polls of 4 accesses), a
  // controller that never completes its 10,000 polls (30,000 accesses): rare draws keep those
  // paths covered without their polls taking most of the run.
  c.host_busy_forever(fuzz::one_in(in, 16));
  c.slave_busy_forever(fuzz::one_in(in, 16));
  c.never_completes(fuzz::one_in(in, 1024));
  c.report_block_count(in.ConsumeIntegralInRange<int>(-1, 255));
  // The other agent's hold: a few polls take every path of the wait (its bound is 200,000
  // polls); each further one is the same three reads again.
  c.hold_semaphore(in.ConsumeIntegralInRange<int>(0, 8));
  c.set_claimed(in.ConsumeBool());
  std::array<std::uint8_t, 256> spd{};
  const std::vector<std::uint8_t> contents = in.ConsumeBytes<std::uint8_t>(spd.size());
  std::copy(contents.begin(), contents.end(), spd.begin());
  c.add_device(in.ConsumeIntegralInRange<std::uint8_t>(0, 0x7F), std::make_shared<sim::SpdEeprom>(spd));

  EFI_PEI_SMBUS_PPI *ppi = bench.ppi;
  const unsigned calls = in.ConsumeIntegralInRange<unsigned>(1, 4);
  for (unsigned i = 0; i < calls; ++i) {
    EFI_SMBUS_DEVICE_ADDRESS address{};
    address.SmbusDeviceAddress = in.ConsumeIntegralInRange<unsigned>(0, 0x7F);
    const UINTN command = in.ConsumeIntegral<UINTN>();
    const auto operation = static_cast<EFI_SMBUS_OPERATION>(in.ConsumeIntegralInRange<unsigned>(0, 15));
    const BOOLEAN pec = in.ConsumeBool();
    UINTN length = in.ConsumeIntegralInRange<UINTN>(0, 64);
    const bool null_length = fuzz::one_in(in, 16);
    const bool null_buffer = fuzz::one_in(in, 16);
    // A buffer of exactly the size the caller says it has: ASan sees any overrun.
    std::vector<std::uint8_t> buffer = in.ConsumeBytes<std::uint8_t>(std::max<UINTN>(length, 1));
    buffer.resize(std::max<UINTN>(length, 1));
    auto block = std::make_unique<std::uint8_t[]>(buffer.size());
    std::copy(buffer.begin(), buffer.end(), block.get());
    const UINTN asked = length;
    accesses = 0;
    const EFI_STATUS status = bench.core.call([&](const EFI_PEI_SERVICES **ps) {
      return ppi->Execute(const_cast<EFI_PEI_SERVICES **>(ps), ppi, address, command, operation, pec,
                          null_length ? nullptr : &length, null_buffer ? nullptr : block.get());
    });
    // A call that touched the controller gives it back (a claim left by an earlier caller
    // stays only when the call was refused before its first access).
    if (accesses != 0 && c.firmware_holds()) violated("the controller was left claimed");
    const bool block_op = operation == EfiSmbusReadBlock || operation == EfiSmbusWriteBlock;
    if (block_op && status == EFI_SUCCESS && (length > 32 || length > asked)) violated("a block longer than asked");
    if (status == EFI_SUCCESS && operation > EfiSmbusWriteBlock) violated("an unsupported operation succeeded");
  }
  if (bench.used_pei_memory() != bench.pei_memory) violated("a call changed the PEI memory (HOBs, pool, PPI records)");
  return 0;
}
