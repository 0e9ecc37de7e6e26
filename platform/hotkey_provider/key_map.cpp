#include "platform/hotkey_provider/key_map.h"

namespace {

// Set-1 make codes of the letter rows, from the row's first code on.
struct LetterRow {
  UINT8 FirstCode;
  const char *Letters;
};
constexpr LetterRow LetterRows[] = {
    {0x10, "qwertyuiop"},
    {0x1E, "asdfghjkl"},
    {0x2C, "zxcvbnm"},
};

constexpr UINT8 FirstFunctionKey = 0x3B; // F1; F1-F10 are consecutive
constexpr UINT8 LastFunctionKey = 0x44;  // F10
constexpr UINT8 F11Key = 0x57;
constexpr UINT8 F12Key = 0x58;
constexpr UINT8 FirstDigitKey = 0x02; // '1'; '1'-'9' then '0' are consecutive
constexpr UINT8 LastDigitKey = 0x0B;  // '0'

constexpr UINT32 ShiftBits = EFI_LEFT_SHIFT_PRESSED | EFI_RIGHT_SHIFT_PRESSED;
constexpr UINT32 ControlBits = EFI_LEFT_CONTROL_PRESSED | EFI_RIGHT_CONTROL_PRESSED;

void AddPattern(KeyPatternSet &Patterns, UINT16 ScanCode, CHAR16 UnicodeChar, UINT8 ShiftState) {
  EFI_KEY_DATA &Key = Patterns.Keys[Patterns.Count++];
  Key.Key.ScanCode = ScanCode;
  Key.Key.UnicodeChar = UnicodeChar;
  Key.KeyState.KeyShiftState = EFI_SHIFT_STATE_VALID | ShiftState;
  Key.KeyState.KeyToggleState = 0;
}

} // namespace

bool InputKeyFromScanCode(UINT8 ScanCode, EFI_INPUT_KEY &Key) {
  Key.ScanCode = SCAN_NULL;
  Key.UnicodeChar = 0;
  if (ScanCode >= FirstFunctionKey && ScanCode <= LastFunctionKey) {
    Key.ScanCode = static_cast<UINT16>(SCAN_F1 + (ScanCode - FirstFunctionKey));
    return true;
  }
  if (ScanCode == F11Key || ScanCode == F12Key) {
    Key.ScanCode = ScanCode == F11Key ? SCAN_F11 : SCAN_F12;
    return true;
  }
  if (ScanCode >= FirstDigitKey && ScanCode <= LastDigitKey) {
    Key.UnicodeChar =
        ScanCode == LastDigitKey ? u'0' : static_cast<CHAR16>(u'1' + (ScanCode - FirstDigitKey));
    return true;
  }
  for (const LetterRow &Row : LetterRows) {
    for (UINTN Index = 0; Row.Letters[Index] != '\0'; ++Index) {
      if (ScanCode == Row.FirstCode + Index) {
        Key.UnicodeChar = static_cast<CHAR16>(Row.Letters[Index]);
        return true;
      }
    }
  }
  return false;
}

EFI_STATUS KeyPatternsFor(UINT8 ScanCode, UINT8 ShiftState, KeyPatternSet &Patterns) {
  Patterns.Count = 0;
  if (ShiftState == 0) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_INPUT_KEY Key;
  if (!InputKeyFromScanCode(ScanCode, Key)) {
    return EFI_UNSUPPORTED;
  }
  if (Key.ScanCode != SCAN_NULL) {
    AddPattern(Patterns, Key.ScanCode, 0, ShiftState);
    return EFI_SUCCESS;
  }
  // Shift with a character key arrives as the shifted character with the Shift
  // bits dropped, indistinguishable from the same key under Caps Lock.
  if ((ShiftState & ShiftBits) != 0) {
    return EFI_UNSUPPORTED;
  }
  AddPattern(Patterns, SCAN_NULL, Key.UnicodeChar, ShiftState);
  CHAR16 Letter = Key.UnicodeChar;
  if (Letter >= u'a' && Letter <= u'z') {
    // Caps Lock turns the letter to upper case.
    AddPattern(Patterns, SCAN_NULL, static_cast<CHAR16>(Letter - u'a' + u'A'), ShiftState);
    // Some keyboard drivers turn Ctrl+letter into its control character
    // (Ctrl+A = 0x01), others keep the letter: watch for both.
    if ((ShiftState & ControlBits) != 0) {
      AddPattern(Patterns, SCAN_NULL, static_cast<CHAR16>(Letter - u'a' + 1), ShiftState);
    }
  }
  return EFI_SUCCESS;
}

bool SamePress(const EFI_KEY_DATA &Pattern, const EFI_KEY_DATA &Press) {
  return Pattern.Key.ScanCode == Press.Key.ScanCode &&
         Pattern.Key.UnicodeChar == Press.Key.UnicodeChar &&
         Pattern.KeyState.KeyShiftState == Press.KeyState.KeyShiftState;
}
