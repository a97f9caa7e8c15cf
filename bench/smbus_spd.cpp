// What reading a 256-byte SPD costs through the SMBus PPI: byte reads against block reads of
// 32, in port accesses and virtual time on the default I/O cost model (about 1 us an access).
#include <fmt/format.h>

#include "pi/ppi/smbus.h"
#include "sim/board/pei_boot.h"

namespace {

struct Cost {
  std::size_t accesses;
  std::uint64_t ns;
  bool ok;
};

Cost run(const std::vector<sim::SmbusTransactionSpec> &reads) {
  sim::Board board = sim::default_board();
  sim::SmbusDeviceSpec spd{0, 0x50, {}};
  for (unsigned i = 0; i < 256; ++i) spd.contents[i] = static_cast<std::uint8_t>(i * 7);
  board.smbus_devices.push_back(spd);
  sim::BoardHardware base_hw(board);
  const sim::PeiBootResult base = sim::run_pei(board, base_hw);  // the boot alone
  board.smbus_consumer = reads;
  sim::BoardHardware hw(board);
  const sim::PeiBootResult r = sim::run_pei(board, hw);
  bool ok = true;
  std::size_t at = 0;
  for (const sim::SmbusResult &t : r.smbus) {
    ok = ok && t.status == EFI_SUCCESS;
    for (std::uint8_t b : t.data) ok = ok && b == static_cast<std::uint8_t>(at++ * 7);
  }
  return {r.accesses - base.accesses, (r.end_ns - r.start_ns) - (base.end_ns - base.start_ns), ok && at == 256};
}

}  // namespace

int main() {
  std::vector<sim::SmbusTransactionSpec> bytes, blocks;
  for (unsigned i = 0; i < 256; ++i) bytes.push_back({0, 0x50, i, EfiSmbusReadByte, 1, {}});
  for (unsigned i = 0; i < 256; i += 32) blocks.push_back({0, 0x50, i, EfiSmbusReadBlock, 32, {}});
  const Cost b = run(bytes), k = run(blocks);
  fmt::print("{:<28} {:>10} {:>12} {:>14}\n", "256-byte SPD read", "calls", "accesses", "virtual time");
  fmt::print("{:<28} {:>10} {:>12} {:>11.3f} ms{}\n", "byte reads", 256, b.accesses, b.ns / 1e6, b.ok ? "" : "  (FAILED)");
  fmt::print("{:<28} {:>10} {:>12} {:>11.3f} ms{}\n", "block reads of 32", 8, k.accesses, k.ns / 1e6, k.ok ? "" : "  (FAILED)");
  return b.ok && k.ok ? 0 : 1;
}
