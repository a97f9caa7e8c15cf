// Register programming tables: the PCI table (3-byte units grouped by bus/device/function) and
// the MMIO table (4-byte entries on the ACPI MMIO area at 0xFED80000, ended by a block byte of
// 0xF0 or more), with the two fixed tables.
#pragma once
#include "pi/base.h"

namespace sbpei {

constexpr UINT16 kSbPciInitTableUnits = 21;
extern const UINT8 SbPciInitTable[kSbPciInitTableUnits * 3];
extern const UINT8 SbMmioInitTable[23 * 4 + 4];

// One MMIO table entry as a word, its four bytes in table order (block, register, and-mask,
// or-value) from the low byte up: code that programs a single ACPI MMIO byte register passes
// one constant, and the table walker hands each entry to the same routine.
constexpr UINT32 MmioEntry(UINT32 Address, UINT8 AndMask, UINT8 OrValue) {
  return (Address >> 8 & 0xFF) | (Address & 0xFF) << 8 | static_cast<UINT32>(AndMask) << 16 |
         static_cast<UINT32>(OrValue) << 24;
}
void ProgramMmioEntry(UINT32 Entry);

void ProgramPciTable(const UINT8 *Table, UINT16 UnitCount);
// `Table` is the table's address; 0 stands for an empty table.
void ProgramMmioTable(UINTN Table);

}  // namespace sbpei
