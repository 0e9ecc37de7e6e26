#include "hotkey/callback_level.h"

#include "common/guards.h"

namespace {

VOID EFIAPI RunOnce(EFI_EVENT Event, VOID *Context) {
  reinterpret_cast<VOID (*)()>(Context)();
  BS->CloseEvent(Event);
}

} // namespace

EFI_STATUS RunAtCallbackLevel(VOID (*Work)()) {
  if (CurrentTpl() > TPL_NOTIFY) {
    return EFI_UNSUPPORTED;
  }
  EFI_EVENT Event = nullptr;
  EFI_STATUS Status = BS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RunOnce,
                                      reinterpret_cast<VOID *>(Work), &Event);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EventGuard Pending(Event);
  Status = BS->SignalEvent(Event);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // RunOnce closes it.
  Pending.Release();
  return EFI_SUCCESS;
}
