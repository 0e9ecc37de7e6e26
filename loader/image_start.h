// Loading and starting images: the drivers from the stick, the firmware's setup.
#pragma once

#include "common/guards.h"

// LoadImage (as a child of ImageHandle) and StartImage. On success Image holds
// the started image: the caller releases it to keep a driver resident, or
// lets the guard unload it. On failure nothing it loaded stays loaded.
EFI_STATUS LoadAndStartImage(EFI_HANDLE ImageHandle, EFI_DEVICE_PATH *Path, ImageGuard &Image);

// Loads and starts Name from the architecture folder beside the loader and
// says so: "Started <Name>" or "Could not start <Name>: <status>". If an image
// loaded from there is resident already, it says "<Name> already running" and
// returns EFI_SUCCESS with Image empty.
EFI_STATUS StartStickImage(EFI_HANDLE ImageHandle, const CHAR16 *Name, ImageGuard &Image);
