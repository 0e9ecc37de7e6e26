// Moves a hot-key press from the keyboard's notify (TPL_NOTIFY) to the
// handlers, which run from an event at TPL_CALLBACK: they do file I/O, which
// the file system allows only at TPL_CALLBACK or below.
#pragma once

#include "common/uefi.h"

// EVT_NOTIFY_SIGNAL at TPL_CALLBACK with RunPendingHotKeys; created on load.
extern EFI_EVENT HotKeyEvent;

// The key notify every console registration uses: counts the press for the
// matching hot keys and signals HotKeyEvent. Calls no handler.
EFI_STATUS EFIAPI HotKeyPressed(EFI_KEY_DATA *KeyData);

// HotKeyEvent's notify: calls each hot key's handler once per counted press,
// with the registered context.
VOID EFIAPI RunPendingHotKeys(EFI_EVENT Event, VOID *Context);
