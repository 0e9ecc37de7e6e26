#include "platform/hotkey_provider/provider.h"

#include "common/guards.h"
#include "platform/hotkey_provider/hotkey_dispatch.h"
#include "platform/hotkey_provider/hotkey_service.h"

HotKeyProtocol HotKeyInterface = {RegisterHotKey};
EFI_HANDLE ProviderHandle = nullptr;

namespace {

EFI_GUID HotKeyProtocolGuid = HOT_KEY_PROTOCOL_GUID;
EFI_GUID LoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;

} // namespace

EFI_STATUS HotKeyProviderMain(EFI_HANDLE ImageHandle) {
  VOID *Existing = nullptr;
  if (!EFI_ERROR(BS->LocateProtocol(&HotKeyProtocolGuid, nullptr, &Existing))) {
    return EFI_ALREADY_STARTED;
  }

  EFI_EVENT Event = nullptr;
  EFI_STATUS Status =
      BS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RunPendingHotKeys, nullptr, &Event);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EventGuard PendingEvent(Event);
  HotKeyEvent = Event;

  EFI_HANDLE Handle = nullptr;
  Status = BS->InstallProtocolInterface(&Handle, &HotKeyProtocolGuid, EFI_NATIVE_INTERFACE,
                                        &HotKeyInterface);
  if (EFI_ERROR(Status)) {
    HotKeyEvent = nullptr;
    return Status;
  }
  ProviderHandle = Handle;

  // Without the loaded image the provider works but cannot be unloaded.
  EFI_LOADED_IMAGE *Image = nullptr;
  if (!EFI_ERROR(
          BS->HandleProtocol(ImageHandle, &LoadedImageGuid, reinterpret_cast<VOID **>(&Image))) &&
      Image != nullptr) {
    Image->Unload = HotKeyProviderUnload;
  }
  PendingEvent.Release();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HotKeyProviderUnload(EFI_HANDLE) {
  if (ProviderHandle != nullptr) {
    EFI_STATUS Status =
        BS->UninstallProtocolInterface(ProviderHandle, &HotKeyProtocolGuid, &HotKeyInterface);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    ProviderHandle = nullptr;
  }
  EFI_STATUS Status = RemoveAllHotKeys();
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (HotKeyEvent != nullptr) {
    BS->CloseEvent(HotKeyEvent);
    HotKeyEvent = nullptr;
  }
  return EFI_SUCCESS;
}
