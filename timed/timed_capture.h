// Saves the screen once, ten seconds after the driver is loaded.
#pragma once

#include "common/uefi.h"

extern EFI_EVENT CaptureTimerEvent;

EFI_STATUS TimedCaptureMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI TimerNotify(EFI_EVENT Event, VOID *Context);
