#pragma once

#include "common/uefi.h"

// Locates the graphics output protocol into GraphicsOutput; on failure prints
// the drivers' fixed message and returns EFI_UNSUPPORTED.
EFI_STATUS LocateGraphicsOutput();
