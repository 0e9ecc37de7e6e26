// Opening the firmware's own setup screens, found among its load options.
#pragma once

#include "common/guards.h"

// Starts the firmware setup (see setup_launch.cpp) and returns when the user
// leaves it. Prints "Opening the firmware setup: <description>" first, or
// "No firmware setup found among the boot options." and returns EFI_NOT_FOUND.
// A setup that cannot be started gets "Could not start <description>: <status>".
EFI_STATUS OpenFirmwareSetup(EFI_HANDLE ImageHandle);
