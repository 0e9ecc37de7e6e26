// Shared by the test applications: wait without printing or busy-looping.
#pragma once

#include "common/guards.h"

// Waits on a timer event rather than stalling: the CPU idles (less load on
// the host) and timer callbacks of loaded drivers run meanwhile.
inline void Hold(UINT32 Seconds) {
  EFI_EVENT Event = nullptr;
  if (EFI_ERROR(BS->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &Event))) {
    return;
  }
  EventGuard Timer(Event);
  if (EFI_ERROR(BS->SetTimer(Event, TimerRelative, UINT64{Seconds} * 10000000))) {
    return;
  }
  UINTN Index = 0;
  BS->WaitForEvent(1, &Event, &Index);
}
