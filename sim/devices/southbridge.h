// sim/devices/: one file per device model, each with the face the modules see (ports, MMIO,
// PCI configuration) and a backend that tests use to set state and inject faults; this file
// puts them together as one southbridge. Devices use sim/machine/ only, and never each other's
// internals beyond what this aggregate wires.
//
// The southbridge as the modules see it: the ACPI MMIO area (PM and misc register blocks and
// plain storage elsewhere), PM index ports, A-Link, ACPI PM1 control and timer, reset control
// port 0x80, the RTC/CMOS, the index/data pair at 0xC00/0xC01 and the PCI functions that the
// early programming touches. One object per board; it outlives a warm reset.
#pragma once
#include "sim/devices/acpi_pm.h"
#include "sim/machine/index_port_pair.h"
#include "sim/machine/machine.h"
#include "sim/devices/plain_devices.h"
#include "sim/devices/pit_speaker.h"
#include "sim/machine/post_port.h"
#include "sim/devices/reset_control.h"
#include "sim/devices/rtc_cmos.h"
#include "sim/devices/sb_alink.h"
#include "sim/devices/sb_pm.h"
#include "sim/devices/smbus.h"
#include "sim/devices/usb_ehci.h"

namespace sim {

class Southbridge {
 public:
  static constexpr std::uint64_t kAcpiMmioBase = 0xFED80000;
  static constexpr std::uint64_t kMiscBase = 0xFED80E00;

  Southbridge()
      : acpi_mmio(kAcpiMmioBase, 0x10000, "ACPI_MMIO"),
        misc(kMiscBase, 0x100, "MISC"),
        io_c00(0xC00, "IO_C00"),
        smbus0("SMBUS0", 0x2C),
        smbus1("SMBUS1", 0x28) {}

  // Maps every register of the southbridge into `m`.
  void attach(Machine &m) {
    acpi_mmio.attach(m);  // first: the blocks below lie over it
    pm.attach(m);
    misc.attach(m);
    alink.attach(m);
    acpi.attach(m, pm);
    smbus0.attach(m, pm);
    smbus1.attach(m, pm);
    // The ACPI blocks and both SMBus controllers follow the PM registers that place them.
    pm.on_change([this](std::uint8_t reg) {
      acpi.follow_pm(reg);
      smbus0.follow_pm(reg);
      smbus1.follow_pm(reg);
    });
    reset.attach(m);
    post.attach(m);
    rtc.attach(m);
    speaker.attach(m);
    io_c00.attach(m);
    dev11_0 = &m.pci().add(0, 0x11, 0);
    dev14_3 = &m.pci().add(0, 0x14, 3);
    dev14_4 = &m.pci().add(0, 0x14, 4);
    const unsigned usb_devices[] = {0x12, 0x13, 0x16};
    for (unsigned i = 0; i < 3; ++i) {
      auto host = std::make_unique<EhciController>(m, usb_devices[i], 2);
      usb[i] = host.get();
      m.pci().add(std::move(host));
      usb_companion[i] = &m.pci().add(0, usb_devices[i], 0);
    }
    usb_companion[3] = &m.pci().add(0, 0x14, 5);
  }

  MemoryBlock acpi_mmio;
  PmRegisters pm;
  MemoryBlock misc;
  Alink alink;
  AcpiPm acpi;
  ResetControl reset;
  PostCodePort post;
  RtcCmos rtc;
  PitSpeaker speaker;
  IndexPortPair io_c00;
  SmbusController smbus0;  // base in PM 0x2C/0x2D
  SmbusController smbus1;  // base in PM 0x28/0x29
  PciFunction *dev11_0 = nullptr;  // owned by the machine's PCI host
  PciFunction *dev14_3 = nullptr;
  PciFunction *dev14_4 = nullptr;
  EhciController *usb[3] = {};              // 0:12.2, 0:13.2, 0:16.2
  PciFunction *usb_companion[4] = {};       // 0:12.0, 0:13.0, 0:16.0, 0:14.5
};

}  // namespace sim
