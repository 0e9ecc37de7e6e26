// Loading and unloading the provider: installs HotKeyProtocol on a handle of
// its own and lets the shell's unload take everything down again.
#pragma once

#include "common/uefi.h"
#include "hotkey/hotkey_protocol.h"

extern HotKeyProtocol HotKeyInterface;
// The handle the protocol is installed on; null once uninstalled.
extern EFI_HANDLE ProviderHandle;

// Everything after InitializeLib. EFI_ALREADY_STARTED when a hot-key protocol
// is already there (LocateProtocol would only ever find the first one).
EFI_STATUS HotKeyProviderMain(EFI_HANDLE ImageHandle);

// LoadedImage->Unload. Uninstalls the protocol first: if that is refused (a
// driver opened it BY_DRIVER) the provider stays loaded and fully working.
// Then every key notification goes; should one refuse, the image stays loaded
// so the console never calls into freed code, and a later unload retries.
EFI_STATUS EFIAPI HotKeyProviderUnload(EFI_HANDLE ImageHandle);
