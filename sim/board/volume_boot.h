// A board booted from a PEI firmware volume built by EDK2 (sbsim --pei-volume): EDK2's PEI core
// dispatches the volume's modules against the board's devices, SEC plays the reset vector's
// part (sim/engines/volume_engine.h), then CmosErrorPrompt runs on the HOB list the real PEI
// core built. What the board's file describes works as on the other paths: the platform hook
// settings, the SMBus transactions of a later module, resets through 0xCF9, the DXE keys.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "sim/board/pei_boot.h"
#include "sim/engines/volume_engine.h"

namespace sim {

// One pass through the volume.
struct VolumePass {
  PeiBootResult pei;        // SbPei's part, as the other paths report a pass
  VolumePassResult volume;  // the PEI core's dispatch, the PPIs, the switch to permanent memory
  std::vector<std::string> log;  // what the firmware wrote to the serial port in this pass
  // A PEIM dispatched after memory, calling SbPei's PPIs again as the PEI core migrated them.
  std::vector<SmbusResult> smbus_after_memory;
  std::optional<EFI_BOOT_MODE> sleep_boot_mode_after_memory;
  std::optional<EFI_STATUS> stall_after_memory;
  std::uint64_t stall_after_memory_us = 0, stall_after_memory_took_ns = 0;
  // Whose PPIs those calls reached (the first instance installed, as LocatePpi finds it):
  // "SbPei", "board" (another module's, in SEC's list) or empty when none was there.
  std::string smbus_by, sleep_boot_mode_by, stall_by;
};

struct VolumeBoot {
  std::string volume;  // the file
  std::vector<VolumePass> passes;
  std::optional<DxeResult> dxe;
  // What went wrong or looks wrong: a stop before the DXE IPL, a module that never ran, a
  // pointer of SbPei's left in temporary RAM, temporary RAM used after it was given up, a PPI
  // that answers differently after memory. Empty for a clean boot.
  std::vector<std::string> findings;
  // Ports and addresses no device claims that the boot touched ("port 0x92: 2 reads").
  std::vector<std::string> unclaimed;
};

// What one pass shows wrong, a line each (empty for a clean pass): the simulator's own failure,
// a stop before the DXE IPL, modules that never ran, SbPei's pointers left in temporary RAM,
// temporary RAM used after it was given up, and SbPei's PPIs answering otherwise after memory.
// Only SbPei's PPIs are judged: a call that reached another module's is not.
std::vector<std::string> find_pass_faults(const VolumePass &pass, std::size_t number);
// What the boot as a whole shows wrong: a reset on every one of the `max_passes` passes.
std::vector<std::string> find_boot_faults(const VolumeBoot &boot, unsigned max_passes);

// Boots `board` from the volume at `path`: PEI passes until one ends without a reset (at most
// `max_passes`), then DXE on `dxe_engine` when PEI reached the DXE IPL.
VolumeBoot run_volume_boot(const Board &board, BoardHardware &hw, const std::string &path, Engine dxe_engine,
                           const VolumeOptions &options = {}, unsigned max_passes = 4);

}  // namespace sim
