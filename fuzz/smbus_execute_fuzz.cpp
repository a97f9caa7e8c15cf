// SmbusExecute against a controller whose behaviour comes from the input: statuses, collisions,
// busy bits, the other agent, the device and its block count; then one to four calls with
// fuzzed operation, address, command, Length, buffer and PecCheck.
// Invariants: no access but the controller's own registers and the I/O delay port; the
// controller is given back after every call; the caller's buffer is never overrun (ASan).
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"

#include <memory>

#include "pi/ppi/smbus.h"
#include "sb_pei/sb_pei.h"
#include "sim/board/pei_boot.h"

namespace {

constexpr std::uint16_t kBase = 0x0B00;
using fuzz::violated;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  sim::BoardHardware hw;
  hw.machine.trace().set_enabled(false);
  hw.southbridge.pm.set(0x2C, 16, kBase | 1);  // controller 0 decoded at 0xB00
  std::size_t accesses = 0;
  hw.machine.set_observer([&accesses](const sim::Access &a) {
    const bool own = a.addr >= kBase && a.addr <= kBase + 8u;
    if (!own && a.addr != 0xED) violated("an access outside the controller's registers");
    ++accesses;
  });

  sim::SmbusController &c = hw.southbridge.smbus0;
  c.collide_first(in.ConsumeIntegralInRange<unsigned>(0, 4));
  // Busy bits that never clear cost each call its whole idle wait (3 x 101 polls): one input in
  // eight each, rather than one in two, keeps them covered at a fraction of the time.
  c.host_busy_forever(in.ConsumeIntegralInRange<int>(0, 7) == 0);
  c.slave_busy_forever(in.ConsumeIntegralInRange<int>(0, 7) == 0);
  // A controller that never completes costs the full 3 x 10,000 polls (about 90,000 accesses):
  // one input in 64 is enough to keep that path covered without it dominating the run time.
  c.never_completes(in.ConsumeIntegralInRange<int>(0, 63) == 0);
  c.report_block_count(in.ConsumeIntegralInRange<int>(-1, 255));
  c.hold_semaphore(in.ConsumeIntegralInRange<int>(0, 200));
  c.set_claimed(in.ConsumeBool());
  std::array<std::uint8_t, 256> spd{};
  for (auto &b : spd) b = in.ConsumeIntegral<std::uint8_t>();
  c.add_device(in.ConsumeIntegralInRange<std::uint8_t>(0, 0x7F), std::make_shared<sim::SpdEeprom>(spd));

  sim::PeiCore core(hw.machine);
  SB_CONFIG config{};
  config.SmbusBase0 = kBase;
  SB_PRIVATE_PPI private_ppi{0, kSbPrivateVersion, nullptr, &config};
  core.install_ppi(gSbPrivatePpiGuid, &private_ppi);
  if (core.call([](const EFI_PEI_SERVICES **ps) { return sbpei::InstallSmbusPpi(ps); }) != EFI_SUCCESS) return 0;
  auto *ppi = static_cast<EFI_PEI_SMBUS_PPI *>(core.locate(gEfiPeiSmbusPpiGuid, 0));

  const unsigned calls = in.ConsumeIntegralInRange<unsigned>(1, 4);
  for (unsigned i = 0; i < calls; ++i) {
    EFI_SMBUS_DEVICE_ADDRESS address{};
    address.SmbusDeviceAddress = in.ConsumeIntegralInRange<unsigned>(0, 0x7F);
    const UINTN command = in.ConsumeIntegral<UINTN>();
    const auto operation = static_cast<EFI_SMBUS_OPERATION>(in.ConsumeIntegralInRange<unsigned>(0, 15));
    const BOOLEAN pec = in.ConsumeBool();
    UINTN length = in.ConsumeIntegralInRange<UINTN>(0, 64);
    const bool null_length = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const bool null_buffer = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    // A buffer of exactly the size the caller says it has: ASan sees any overrun.
    std::vector<std::uint8_t> buffer = in.ConsumeBytes<std::uint8_t>(std::max<UINTN>(length, 1));
    buffer.resize(std::max<UINTN>(length, 1));
    auto block = std::make_unique<std::uint8_t[]>(buffer.size());
    std::copy(buffer.begin(), buffer.end(), block.get());
    const UINTN asked = length;
    accesses = 0;
    const EFI_STATUS status = core.call([&](const EFI_PEI_SERVICES **ps) {
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
  return 0;
}
