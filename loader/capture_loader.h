// CaptureLoader: the capture stick's boot application.
#pragma once

#include "common/uefi.h"

// Seconds the user has to press a key before the firmware setup opens.
constexpr UINT32 SetupCountdownSeconds = 3;
// How long a failure message stays on screen before the firmware takes over.
constexpr UINT32 FailurePauseSeconds = 3;

EFI_STATUS CaptureLoaderMain(EFI_HANDLE ImageHandle);
