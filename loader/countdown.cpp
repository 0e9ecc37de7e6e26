#include "loader/countdown.h"

namespace {

// More keys than anyone types in a few seconds; bounds the drain on a
// console that never runs dry.
constexpr UINTN MaxDrainedKeys = 64;
constexpr UINT64 TimerTicksPerSecond = 10000000; // 100 ns units

bool ReadOneKey() {
  if (ST->ConIn == nullptr) {
    return false;
  }
  EFI_INPUT_KEY Key;
  return !EFI_ERROR(ST->ConIn->ReadKeyStroke(ST->ConIn, &Key));
}

} // namespace

void DrainKeys() {
  for (UINTN Count = 0; Count < MaxDrainedKeys && ReadOneKey(); ++Count) {
  }
}

bool KeyPressedWithin(UINT32 Seconds) {
  EFI_EVENT Timer = nullptr;
  EFI_STATUS Status = BS->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &Timer);
  if (EFI_ERROR(Status)) {
    return false;
  }
  EventGuard TimerGuard(Timer);
  Status = BS->SetTimer(Timer, TimerRelative, Seconds * TimerTicksPerSecond);
  if (EFI_ERROR(Status)) {
    return false;
  }
  // The timer first: when both are signalled, the time is up.
  EFI_EVENT Events[2] = {Timer, nullptr};
  UINTN EventCount = 1;
  if (ST->ConIn != nullptr && ST->ConIn->WaitForKey != nullptr) {
    Events[EventCount++] = ST->ConIn->WaitForKey;
  }
  for (;;) {
    UINTN Index = 0;
    Status = BS->WaitForEvent(EventCount, Events, &Index);
    if (EFI_ERROR(Status) || Index == 0) {
      return false;
    }
    // The key event can fire for input that yields no key (a lone modifier
    // on some consoles); then keep waiting for the rest of the time.
    if (ReadOneKey()) {
      DrainKeys();
      return true;
    }
  }
}
