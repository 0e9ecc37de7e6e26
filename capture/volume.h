// Multi-step firmware sequences of a capture, kept apart from its main line.
#pragma once

#include "common/guards.h"

// Opens the root directory of the volume the firmware lists first. Statuses of
// LocateHandleBuffer, HandleProtocol and OpenVolume come back unchanged.
EFI_STATUS OpenFirstVolumeRoot(FileHandle &Root);

// Cuts File to Length bytes when it is longer (a file of the same name left by
// an earlier, larger picture). Shorter or equal files are left alone.
EFI_STATUS CutFileToLength(EFI_FILE_PROTOCOL *File, UINT64 Length);
