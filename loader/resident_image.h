// Whether an image is already resident, so a second run of the loader in the
// same boot (the boot manager running the stick's option again, or the user
// picking it twice) does not start a second instance of a driver.
#pragma once

#include "common/uefi.h"

// True if an image loaded from FilePath (its file path nodes and end node,
// compared byte for byte but for the letter case of file names) on Device is
// loaded now. The firmware keeps both in
// each image's LoadedImage protocol (UEFI 2.x, section 9.1). False when the
// images cannot be listed: then starting one is the lesser evil.
bool ImageResident(EFI_HANDLE Device, const EFI_DEVICE_PATH *FilePath);
