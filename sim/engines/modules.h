// sim/engines/: the two modules on either engine: modules.cpp runs the C++ compiled for this
// machine (the host engine), image_modules.cpp runs the shipped images in the emulator with
// the stand-ins' tables rebuilt in the image's layout (the image engine). It uses the services,
// the image layer and the machine.
//
// The two modules as the simulator runs them, on either engine: the host engine calls the
// module's C++ compiled for this machine; the image engine runs the shipped image
// (SbPei.efi, CmosErrorPrompt.efi) in the CPU emulator against the same stand-ins.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pi/ppi/smbus.h"
#include "pi/uefi.h"
#include "sim/services/dxe_core.h"
#include "sim/services/pei_core.h"

namespace sim {

enum class Engine { Host, Image };

// How the image engine runs an image: counting its instructions (slower), checking each read
// and write it makes in RAM against who owns it (see memory_check.h).
struct ImageRun {
  bool count_instructions = false;
  bool check_memory = true;
};
const char *engine_name(Engine e);
std::optional<Engine> engine_named(std::string_view name);

// Where the images are looked for: $SB_IMAGE_DIR, else the installed prefix's data folder when
// the program runs from one, else the build directory they were made in.
std::string image_path(const std::string &file);

// SbPei's PPIs as a later module calls them, whatever runs them.
class SbPeiPpis {
 public:
  virtual ~SbPeiPpis() = default;
  // EFI_NOT_FOUND if the PPI is not there. `buffer_size` is the size of `buffer` (an image
  // engine copies it through its RAM).
  virtual EFI_STATUS smbus_execute(unsigned instance, EFI_SMBUS_DEVICE_ADDRESS address, UINTN command,
                                   EFI_SMBUS_OPERATION operation, BOOLEAN pec, UINTN *length, void *buffer,
                                   std::size_t buffer_size) = 0;
  virtual EFI_STATUS reset_system() = 0;
  virtual EFI_STATUS stall(UINTN microseconds) = 0;
  // The private PPI's GetSleepBootMode (0 if the PPI is not there).
  virtual EFI_BOOT_MODE get_sleep_boot_mode() = 0;
};

class SbPeiModule : public SbPeiPpis {
 public:
  // Loads the module for one PEI pass on `core`.
  static std::unique_ptr<SbPeiModule> load(Engine engine, PeiCore &core);

  // SbPeiEntry; a reset that takes hold ends the pass (see PeiCore::run).
  virtual EFI_STATUS run_entry() = 0;

  // The services pointer and the platform hook as the module was given them (what it keeps
  // in the configuration block).
  virtual std::uint32_t services_as_seen() const = 0;
  virtual std::uint32_t platform_hook_as_seen() const = 0;
  // Bytes of a pointer, a UINTN and a status in the module (4 for SbPei.efi), and of its
  // private data, signature included (20 for SbPei.efi).
  virtual std::size_t word_size() const = 0;
  std::size_t private_data_size() const { return 12 + 2 * word_size(); }
  // Instructions run so far (image engine with counting on; 0 otherwise).
  virtual std::uint64_t instructions() const { return 0; }

  static void count_instructions(bool on);  // for modules loaded from now on
  static void check_memory(bool on);        // likewise (on unless turned off)
  // The image engine runs these files in place of SbPei.efi and CmosErrorPrompt.efi (an empty
  // name keeps the shipped one): another IA32 PEIM, another X64 driver, on the same bench.
  static void use_images(const std::string &pei, const std::string &dxe);
};

class CmosPromptModule {
 public:
  static std::unique_ptr<CmosPromptModule> load(Engine engine, DxeCore &dxe);
  virtual ~CmosPromptModule() = default;
  // Starts the driver's image: its entry point, with the DXE stand-in's system table.
  virtual EFI_STATUS start() = 0;
  virtual std::uint64_t instructions() const { return 0; }
};

}  // namespace sim
