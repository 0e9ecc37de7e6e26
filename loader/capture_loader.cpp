// CaptureLoader, booted from the capture stick as EFI\BOOT\BOOT<arch>.EFI:
//  1. starts HotKeyProvider.efi (unless a hot-key protocol is already
//     installed) and HotKeyCapture.efi from the folder beside it named after
//     the architecture, so Ctrl+Alt+F9 saves the screen from now on; a
//     driver still resident from an earlier run in this boot (the boot
//     manager may run the stick's option again) is not started twice;
//  2. says which volume the pictures go to (the first the firmware lists);
//  3. after a short countdown opens the firmware's setup, where the user takes
//     the pictures; a key press instead returns to the firmware at once.
// The drivers stay loaded when it returns. If one cannot be started, it says
// why, releases all it holds (a provider it started is unloaded again) and
// returns that status, so the firmware goes on with its next boot option.
// Otherwise it returns EFI_SUCCESS, after which firmware that has a boot
// manager menu shows it (UEFI 2.x, section 3.1.1). It changes no variable.
#include "loader/capture_loader.h"

#include "common/guards.h"
#include "hotkey/hotkey_protocol.h"
#include "loader/arch.h"
#include "loader/countdown.h"
#include "loader/image_start.h"
#include "loader/setup_launch.h"
#include "loader/volume_report.h"

namespace {

bool HotKeyProtocolInstalled() {
  EFI_GUID Guid = HOT_KEY_PROTOCOL_GUID;
  VOID *Interface = nullptr;
  return !EFI_ERROR(BS->LocateProtocol(&Guid, nullptr, &Interface));
}

EFI_STATUS GiveUp(EFI_STATUS Status) {
  Print(Text(u"Returning to the firmware.\n"));
  KeyPressedWithin(FailurePauseSeconds); // time to read the message
  return Status;
}

EFI_STATUS ReturnToFirmware() {
  Print(Text(u"Back to the firmware; Ctrl+Alt+F9 stays active until an OS starts.\n"));
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS CaptureLoaderMain(EFI_HANDLE ImageHandle) {
  Print(Text(u"Screen capture stick (%s)\n"), ArchFolderName());

  ImageGuard Provider;
  if (HotKeyProtocolInstalled()) {
    Print(Text(u"Hot-key protocol present: HotKeyProvider.efi not needed\n"));
  } else {
    EFI_STATUS Status = StartStickImage(ImageHandle, Text(u"HotKeyProvider.efi"), Provider);
    if (EFI_ERROR(Status)) {
      return GiveUp(Status);
    }
  }
  ImageGuard Capture;
  EFI_STATUS Status = StartStickImage(ImageHandle, Text(u"HotKeyCapture.efi"), Capture);
  if (EFI_ERROR(Status)) {
    return GiveUp(Status); // Provider's guard unloads the provider
  }
  // Both stay resident for the rest of the boot.
  Provider.Release();
  Capture.Release();

  ReportPictureVolume();

  DrainKeys(); // only a key pressed from now on counts
  Print(Text(u"Opening the firmware setup in %d s; any key returns to the firmware instead.\n"),
        SetupCountdownSeconds);
  if (!KeyPressedWithin(SetupCountdownSeconds)) {
    OpenFirmwareSetup(ImageHandle);
  }
  return ReturnToFirmware();
}
