// From a registration's scan code and shift byte to the key data a keyboard
// reports for that press. Pure: no firmware calls, so it builds for the host.
#pragma once

#include "common/uefi.h"

// A press may reach the console in more than one form (see KeyPatternsFor).
constexpr UINTN MaxKeyPatterns = 3;

struct KeyPatternSet {
  UINTN Count;
  EFI_KEY_DATA Keys[MaxKeyPatterns];
};

// The key a set-1 make code stands for: ScanCode SCAN_F1..SCAN_F12 for the
// function keys, UnicodeChar for digits and lowercase letters. False for any
// other code.
bool InputKeyFromScanCode(UINT8 ScanCode, EFI_INPUT_KEY &Key);

// Fills Patterns with every form the console may report this combination in,
// each with KeyShiftState = EFI_SHIFT_STATE_VALID | ShiftState and
// KeyToggleState = 0 (toggle state ignored). Returns EFI_INVALID_PARAMETER for
// ShiftState 0 and EFI_UNSUPPORTED for an unknown code or Shift with a
// character key.
EFI_STATUS KeyPatternsFor(UINT8 ScanCode, UINT8 ShiftState, KeyPatternSet &Patterns);

// True when Press is the key Pattern stands for: same ScanCode, UnicodeChar
// and shift state. The toggle state (Num/Caps/Scroll Lock) plays no part, the
// same way the console's own matching ignores a zero KeyToggleState.
bool SamePress(const EFI_KEY_DATA &Pattern, const EFI_KEY_DATA &Press);
