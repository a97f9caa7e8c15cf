// CmosErrorPrompt: the DXE driver that reports lost CMOS contents and offers F1/Del.
#pragma once
#include "pi/uefi.h"

extern "C" EFI_STATUS EFIAPI CmosErrorPromptEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
