#include "platform/hotkey_provider/hotkey_dispatch.h"

#include "platform/hotkey_provider/hotkey_service.h"
#include "common/tpl.h"

EFI_EVENT HotKeyEvent = nullptr;

EFI_STATUS EFIAPI HotKeyPressed(EFI_KEY_DATA *KeyData) {
  if (KeyData != nullptr && MarkPresses(HotKeys, *KeyData) > 0 && HotKeyEvent != nullptr) {
    BS->SignalEvent(HotKeyEvent);
  }
  return EFI_SUCCESS;
}

VOID EFIAPI RunPendingHotKeys(EFI_EVENT, VOID *) {
  for (HotKeySlot &Slot : HotKeys.Slots) {
    // One press at a time: a handler may unregister its own or another hot
    // key, or more presses may arrive while it runs.
    for (;;) {
      HOT_KEY_HANDLER Handler = nullptr;
      VOID *Context = nullptr;
      bool Taken = false;
      {
        TplGuard Notify(TPL_NOTIFY);
        Taken = TakePendingPress(Slot, Handler, Context);
      }
      if (!Taken) {
        break;
      }
      EFI_STATUS Status = Handler(Context);
      if (Slot.Active && Slot.Handler == Handler) {
        Slot.LastStatus = Status;
      }
    }
  }
}
