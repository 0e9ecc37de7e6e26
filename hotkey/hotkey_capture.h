// Saves a numbered picture on every Ctrl+Alt+F9 and shows the badge.
#pragma once

#include "common/uefi.h"

EFI_STATUS HotKeyCaptureMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
EFI_STATUS EFIAPI HotKeyHandler(VOID *Argument);
