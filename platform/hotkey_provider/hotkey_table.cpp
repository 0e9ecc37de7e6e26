#include "platform/hotkey_provider/hotkey_table.h"

namespace {

constexpr UINT32 MaxPendingPresses = 0xFFFFFFFF;

} // namespace

EFI_STATUS CheckRequest(const HotKeyRegistration *Record, UINT8 Value, KeyPatternSet &Patterns) {
  Patterns.Count = 0;
  if (Record == nullptr || Record->Handler == nullptr || Record->Flag != HotKeyFlagEnabled ||
      (Value != HotKeyRegister && Value != HotKeyUnregister)) {
    return EFI_INVALID_PARAMETER;
  }
  return KeyPatternsFor(Record->KeyCode, Record->ShiftState, Patterns);
}

HotKeySlot *FindHotKey(HotKeyTable &Table, UINT8 KeyCode, UINT8 ShiftState,
                       HOT_KEY_HANDLER Handler) {
  for (HotKeySlot &Slot : Table.Slots) {
    if (Slot.Active && Slot.KeyCode == KeyCode && Slot.ShiftState == ShiftState &&
        Slot.Handler == Handler) {
      return &Slot;
    }
  }
  return nullptr;
}

HotKeySlot *FindFreeSlot(HotKeyTable &Table) {
  for (HotKeySlot &Slot : Table.Slots) {
    if (!Slot.Active) {
      return &Slot;
    }
  }
  return nullptr;
}

KeyNotification *FindNotification(HotKeyTable &Table, const EFI_KEY_DATA &Pattern) {
  for (KeyNotification &Notification : Table.Notifications) {
    if (Notification.Handle != nullptr && SamePress(Notification.Pattern, Pattern)) {
      return &Notification;
    }
  }
  return nullptr;
}

KeyNotification *FindFreeNotification(HotKeyTable &Table) {
  for (KeyNotification &Notification : Table.Notifications) {
    if (Notification.Handle == nullptr) {
      return &Notification;
    }
  }
  return nullptr;
}

UINTN MarkPresses(HotKeyTable &Table, const EFI_KEY_DATA &Press) {
  UINTN Marked = 0;
  for (HotKeySlot &Slot : Table.Slots) {
    if (!Slot.Active) {
      continue;
    }
    for (UINTN Index = 0; Index < Slot.Patterns.Count; ++Index) {
      if (SamePress(Slot.Patterns.Keys[Index], Press)) {
        if (Slot.PendingPresses < MaxPendingPresses) {
          ++Slot.PendingPresses;
        }
        ++Marked;
        break;
      }
    }
  }
  return Marked;
}

bool TakePendingPress(HotKeySlot &Slot, HOT_KEY_HANDLER &Handler, VOID *&Context) {
  if (!Slot.Active || Slot.PendingPresses == 0) {
    return false;
  }
  --Slot.PendingPresses;
  Handler = Slot.Handler;
  Context = Slot.Context;
  return true;
}
