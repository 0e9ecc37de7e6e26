// Where the loader finds the images it starts: on the device it was loaded
// from, in the folder named after the architecture beside its own file
// (\EFI\BOOT\BOOTX64.EFI starts \EFI\BOOT\x64\HotKeyCapture.efi).
#pragma once

#include "common/guards.h"

constexpr UINTN MaxImagePathChars = 260;

// Writes "<folder>\<Arch>\<Name>" to Out, NUL-terminated. FilePath is the
// loader's LoadedImage FilePath: the texts of its media file path nodes, joined,
// are the loader's own path, and <folder> is that path up to its last
// backslash. Other node types are skipped.
//   EFI_NOT_FOUND          no file path node
//   EFI_INVALID_PARAMETER  a node shorter than its header or no end node in
//                          a sane distance
//   EFI_BUFFER_TOO_SMALL   the result does not fit MaxImagePathChars
EFI_STATUS SiblingImagePath(const EFI_DEVICE_PATH *FilePath, const CHAR16 *Arch, const CHAR16 *Name,
                            CHAR16 (&Out)[MaxImagePathChars]);

// Where the image Name beside the running image ImageHandle lies: the device
// the loader was loaded from, and the file path on it (one file path node and
// an end node, in pool memory) as the firmware keeps it in the LoadedImage
// protocol of an image loaded from there.
EFI_STATUS StickImageFilePath(EFI_HANDLE ImageHandle, const CHAR16 *Name, EFI_HANDLE &Device,
                              PoolPtr<EFI_DEVICE_PATH> &FilePath);

// Bytes of Path's first instance, its end node included; 0 for nullptr or a
// malformed path (a node shorter than its header, no end node in a sane
// distance).
UINTN DevicePathBytes(const EFI_DEVICE_PATH *Path);
