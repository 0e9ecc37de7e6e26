#include "timed/timed_capture.h"

#include "capture/capture.h"
#include "capture/graphics.h"
#include "common/guards.h"

EFI_EVENT CaptureTimerEvent = nullptr;

namespace {
constexpr UINT64 CaptureDelay = 100000000; // 10 s in 100 ns units
} // namespace

VOID EFIAPI TimerNotify(EFI_EVENT, VOID *) {
  CaptureScreenToBmp(CaptureVariant::Announced);
  BS->CloseEvent(CaptureTimerEvent);
  CaptureTimerEvent = nullptr;
}

EFI_STATUS TimedCaptureMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);

  EFI_STATUS Status = LocateGraphicsOutput();
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // TPL_CALLBACK: the capture opens and writes files, which the file system
  // protocols allow only at TPL_CALLBACK or below.
  EFI_EVENT Event = nullptr;
  Status =
      BS->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, TimerNotify, nullptr, &Event);
  if (EFI_ERROR(Status)) {
    // Stay loaded; there will simply be no capture.
    return EFI_SUCCESS;
  }
  EventGuard Timer(Event);
  CaptureTimerEvent = Event;

  Status = BS->SetTimer(Event, TimerRelative, CaptureDelay);
  if (EFI_ERROR(Status)) {
    // The event would never be signalled; do not leave it behind.
    CaptureTimerEvent = nullptr;
    return Status;
  }
  Timer.Release();
  return EFI_SUCCESS;
}
