// RegisterHotKey, the protocol's service, and the teardown the unload uses.
#pragma once

#include "common/uefi.h"
#include "hotkey/hotkey_protocol.h"
#include "platform/hotkey_provider/hotkey_table.h"

// All registrations of this image. Slots and notifications change at
// TPL_CALLBACK (the callers are serialised there); what the key notify reads
// at TPL_NOTIFY (Active, PendingPresses) changes only with the TPL raised to
// TPL_NOTIFY.
extern HotKeyTable HotKeys;

EFI_STATUS EFIAPI RegisterHotKey(const HotKeyRegistration *Record, UINT8 Value);

// Drops every registration and hands every key notification back to the
// console. Fails with the first UnregisterKeyNotify error; the notifications
// that failed stay recorded so a later call can try again.
EFI_STATUS RemoveAllHotKeys();
