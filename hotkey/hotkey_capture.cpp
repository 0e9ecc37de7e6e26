#include "hotkey/hotkey_capture.h"

#include "capture/capture.h"
#include "capture/graphics.h"
#include "hotkey/badge.h"
#include "hotkey/callback_level.h"
#include "hotkey/hotkey_protocol.h"

namespace {

constexpr UINT8 F9ScanCode = 0x43;
constexpr UINTN BadgeX = 100;
constexpr UINTN BadgeY = 100;

// Either Control with either Alt: left+left, left+right, right+left, right+right.
constexpr UINT8 ControlAltStates[] = {
    EFI_LEFT_CONTROL_PRESSED | EFI_LEFT_ALT_PRESSED,
    EFI_LEFT_CONTROL_PRESSED | EFI_RIGHT_ALT_PRESSED,
    EFI_RIGHT_CONTROL_PRESSED | EFI_LEFT_ALT_PRESSED,
    EFI_RIGHT_CONTROL_PRESSED | EFI_RIGHT_ALT_PRESSED,
};

EFI_STATUS SaveScreenAndShowBadge() {
  EFI_STATUS Status = CaptureScreenToBmp(CaptureVariant::Numbered);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The picture is saved; a badge that cannot be drawn changes nothing about that.
  ShowSaveBadge(BadgeX, BadgeY);
  return EFI_SUCCESS;
}

VOID SaveLater() {
  // Nobody is left to take the status; the capture prints its own errors.
  SaveScreenAndShowBadge();
}

} // namespace

EFI_STATUS EFIAPI HotKeyHandler(VOID *) {
  if (CurrentTpl() <= TPL_CALLBACK) {
    return SaveScreenAndShowBadge();
  }
  // Called from inside a keyboard notification (a firmware's own hot-key
  // protocol may do so): no file I/O here, the picture is saved right after.
  return RunAtCallbackLevel(SaveLater);
}

EFI_STATUS HotKeyCaptureMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);

  EFI_STATUS Status = LocateGraphicsOutput();
  if (EFI_ERROR(Status)) {
    return Status;
  }

  EFI_GUID HotKeyProtocolGuid = HOT_KEY_PROTOCOL_GUID;
  HotKeyProtocol *HotKeys = nullptr;
  Status = BS->LocateProtocol(&HotKeyProtocolGuid, nullptr, reinterpret_cast<VOID **>(&HotKeys));
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // One record, reused: the protocol copies it during each call.
  HotKeyRegistration Record;
  Record.KeyCode = F9ScanCode;
  Record.Flag = HotKeyFlagEnabled;
  Record.Handler = HotKeyHandler;
  Record.Context = nullptr;
  for (UINT8 ShiftState : ControlAltStates) {
    Record.ShiftState = ShiftState;
    // A combination the firmware refuses just stays inactive.
    HotKeys->RegisterHotKey(&Record, HotKeyRegister);
  }
  return EFI_SUCCESS;
}
