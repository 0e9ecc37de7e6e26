// The provider's registrations and the console key notifications behind them.
// Pure bookkeeping with no firmware calls, so it builds for the host; the
// caller supplies the TPL discipline (see hotkey_service.cpp).
#pragma once

#include "common/uefi.h"
#include "hotkey/hotkey_protocol.h"
#include "platform/hotkey_provider/key_map.h"

constexpr UINTN MaxHotKeys = 16;
// Every hot key can need its own notifications for all its patterns.
constexpr UINTN MaxKeyNotifications = MaxHotKeys * MaxKeyPatterns;

// One registered combination, copied out of the caller's record.
struct HotKeySlot {
  bool Active;
  UINT8 KeyCode;
  UINT8 ShiftState;
  HOT_KEY_HANDLER Handler;
  VOID *Context;
  KeyPatternSet Patterns;
  UINT32 PendingPresses; // seen at TPL_NOTIFY, not yet handed to Handler
  EFI_STATUS LastStatus; // what Handler returned last
};

// One RegisterKeyNotify on the console. Hot keys with the same pattern share
// it: registering the same key data and function twice may hand back the same
// handle, and unregistering it once would silence both.
struct KeyNotification {
  EFI_KEY_DATA Pattern;
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *TextInput;
  VOID *Handle; // null: free entry
  UINT32 Users; // hot keys using it; 0 with a Handle: unregistering it failed
};

struct HotKeyTable {
  HotKeySlot Slots[MaxHotKeys];
  KeyNotification Notifications[MaxKeyNotifications];
};

// Checks what RegisterHotKey's record and value must satisfy before anything
// else: EFI_INVALID_PARAMETER or EFI_UNSUPPORTED as documented in
// hotkey_protocol.h; on success Patterns holds the combination's key data.
EFI_STATUS CheckRequest(const HotKeyRegistration *Record, UINT8 Value, KeyPatternSet &Patterns);

// The active slot for this combination and handler, or null.
HotKeySlot *FindHotKey(HotKeyTable &Table, UINT8 KeyCode, UINT8 ShiftState,
                       HOT_KEY_HANDLER Handler);
HotKeySlot *FindFreeSlot(HotKeyTable &Table);

// The entry registered for Pattern (in use or left over), or null.
KeyNotification *FindNotification(HotKeyTable &Table, const EFI_KEY_DATA &Pattern);
KeyNotification *FindFreeNotification(HotKeyTable &Table);

// Counts one press for every active slot that Press belongs to (each slot at
// most once, whichever of its patterns matched) and returns how many slots
// that was. The console may call for presses no slot wants (a terminal that
// ignores the shift state, for one), hence the check here.
UINTN MarkPresses(HotKeyTable &Table, const EFI_KEY_DATA &Press);

// Takes one pending press of an active slot: copies its handler and context
// and returns true, or returns false when nothing is pending.
bool TakePendingPress(HotKeySlot &Slot, HOT_KEY_HANDLER &Handler, VOID *&Context);
