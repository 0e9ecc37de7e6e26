// Reading an EFI_LOAD_OPTION (the value of a Boot#### variable; UEFI 2.x
// section 3.1.3) without trusting it, and telling whether it is the
// firmware's setup. No firmware calls: the bytes come from the caller.
#pragma once

#include "common/uefi.h"

// Parts of a load option, pointing into the caller's bytes.
struct LoadOptionView {
  UINT32 Attributes;
  // NUL-terminated; CHAR16-aligned when the option's bytes are (offset 6).
  const CHAR16 *Description;
  UINTN DescriptionChars; // without the NUL
  // Every device path of the list ends with an end node inside the list.
  const EFI_DEVICE_PATH *FilePathList;
  UINTN FilePathListLength;
  // The last node before the first path's end node; nullptr when that path
  // is only an end node.
  const EFI_DEVICE_PATH *LastNode;
  const UINT8 *OptionalData;
  UINTN OptionalDataSize;
};

// False when the bytes are no well-formed load option: shorter than the
// fixed part, a description without NUL, a path list that runs past the end
// or has a node shorter than its header or no final end node.
bool ParseLoadOption(const VOID *Data, UINTN Size, LoadOptionView *Option);

// The setup of EDK2-based firmware (OVMF and AAVMF included): the UiApp
// application in a firmware volume, by its file GUID, or an option described
// as "UiApp" or "Enter Setup".
bool IsFirmwareSetup(const LoadOptionView &Option);
