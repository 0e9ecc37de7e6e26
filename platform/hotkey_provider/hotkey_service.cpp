#include "platform/hotkey_provider/hotkey_service.h"

#include "platform/hotkey_provider/hotkey_dispatch.h"
#include "common/tpl.h"

HotKeyTable HotKeys = {};

namespace {

EFI_GUID TextInputExGuid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;

// The console splitter's input: registering there covers every keyboard,
// including one connected later.
EFI_STATUS ConsoleTextInput(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *&TextInput) {
  TextInput = nullptr;
  if (ST->ConsoleInHandle == nullptr) {
    return EFI_NOT_READY;
  }
  EFI_STATUS Status = BS->HandleProtocol(ST->ConsoleInHandle, &TextInputExGuid,
                                         reinterpret_cast<VOID **>(&TextInput));
  if (EFI_ERROR(Status) || TextInput == nullptr) {
    TextInput = nullptr;
    return EFI_NOT_READY;
  }
  return EFI_SUCCESS;
}

EFI_STATUS AcquireNotification(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *TextInput,
                               const EFI_KEY_DATA &Pattern) {
  KeyNotification *Notification = FindNotification(HotKeys, Pattern);
  if (Notification != nullptr) {
    ++Notification->Users;
    return EFI_SUCCESS;
  }
  Notification = FindFreeNotification(HotKeys);
  if (Notification == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_KEY_DATA KeyData = Pattern;
  VOID *Handle = nullptr;
  EFI_STATUS Status = TextInput->RegisterKeyNotify(TextInput, &KeyData, HotKeyPressed, &Handle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Notification->Pattern = Pattern;
  Notification->TextInput = TextInput;
  Notification->Handle = Handle;
  Notification->Users = 1;
  return EFI_SUCCESS;
}

// A notification that fails to unregister stays recorded with no users: the
// console may still call HotKeyPressed for it, which then finds nothing to do.
EFI_STATUS UnregisterNotification(KeyNotification &Notification) {
  EFI_STATUS Status =
      Notification.TextInput->UnregisterKeyNotify(Notification.TextInput, Notification.Handle);
  if (!EFI_ERROR(Status)) {
    Notification = {};
  }
  return Status;
}

void ReleasePatterns(const KeyPatternSet &Patterns, UINTN Count) {
  for (UINTN Index = 0; Index < Count; ++Index) {
    KeyNotification *Notification = FindNotification(HotKeys, Patterns.Keys[Index]);
    if (Notification == nullptr || Notification->Users == 0) {
      continue;
    }
    if (--Notification->Users == 0) {
      UnregisterNotification(*Notification);
    }
  }
}

EFI_STATUS AddHotKey(const HotKeyRegistration &Record, const KeyPatternSet &Patterns) {
  if (FindHotKey(HotKeys, Record.KeyCode, Record.ShiftState, Record.Handler) != nullptr) {
    return EFI_SUCCESS;
  }
  HotKeySlot *Slot = FindFreeSlot(HotKeys);
  if (Slot == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *TextInput = nullptr;
  EFI_STATUS Status = ConsoleTextInput(TextInput);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  for (UINTN Index = 0; Index < Patterns.Count; ++Index) {
    Status = AcquireNotification(TextInput, Patterns.Keys[Index]);
    if (EFI_ERROR(Status)) {
      ReleasePatterns(Patterns, Index);
      return Status;
    }
  }
  // The slot is inactive, so the key notify ignores it until Active is set.
  Slot->KeyCode = Record.KeyCode;
  Slot->ShiftState = Record.ShiftState;
  Slot->Handler = Record.Handler;
  Slot->Context = Record.Context;
  Slot->Patterns = Patterns;
  Slot->PendingPresses = 0;
  Slot->LastStatus = EFI_SUCCESS;
  TplGuard Notify(TPL_NOTIFY);
  Slot->Active = true;
  return EFI_SUCCESS;
}

void RemoveHotKey(HotKeySlot &Slot) {
  {
    TplGuard Notify(TPL_NOTIFY);
    Slot.Active = false;
    Slot.PendingPresses = 0;
  }
  ReleasePatterns(Slot.Patterns, Slot.Patterns.Count);
}

} // namespace

EFI_STATUS EFIAPI RegisterHotKey(const HotKeyRegistration *Record, UINT8 Value) {
  if (Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // The caller's record may change once this returns; work on a copy.
  const HotKeyRegistration Request = *Record;
  KeyPatternSet Patterns;
  EFI_STATUS Status = CheckRequest(&Request, Value, Patterns);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // Raising to TPL_CALLBACK from above it is not allowed.
  if (CurrentTpl() > TPL_CALLBACK) {
    return EFI_UNSUPPORTED;
  }
  // One caller at a time, and no handler run in between.
  TplGuard Callback(TPL_CALLBACK);
  if (Value == HotKeyRegister) {
    return AddHotKey(Request, Patterns);
  }
  HotKeySlot *Slot = FindHotKey(HotKeys, Request.KeyCode, Request.ShiftState, Request.Handler);
  if (Slot == nullptr) {
    return EFI_NOT_FOUND;
  }
  RemoveHotKey(*Slot);
  return EFI_SUCCESS;
}

EFI_STATUS RemoveAllHotKeys() {
  TplGuard Callback(TPL_CALLBACK);
  {
    TplGuard Notify(TPL_NOTIFY);
    for (HotKeySlot &Slot : HotKeys.Slots) {
      Slot.Active = false;
      Slot.PendingPresses = 0;
    }
  }
  EFI_STATUS Result = EFI_SUCCESS;
  for (KeyNotification &Notification : HotKeys.Notifications) {
    Notification.Users = 0;
    if (Notification.Handle == nullptr) {
      continue;
    }
    EFI_STATUS Status = UnregisterNotification(Notification);
    if (EFI_ERROR(Status) && !EFI_ERROR(Result)) {
      Result = Status;
    }
  }
  return Result;
}
