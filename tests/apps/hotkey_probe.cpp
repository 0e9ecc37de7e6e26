// Test application for HotKeyProvider on real firmware: registers handlers
// through the hot-key protocol, reports every call on the console, and
// unregisters them again before it exits (its code goes away with it).
//
//   HotKeyProbe.efi [wait N]   register, report calls for N seconds (default 30)
//   HotKeyProbe.efi keys N     print every key the console reads for N seconds
//
// Console lines the tests wait for:
//   "REGISTER <code> <shift> <status>"  per registration
//   "PROBE READY"                       once all are in
//   "HOTKEY <code> <shift> TPL <tpl>"   per handler call
//   "NOTIFY TPL <tpl>"                  the TPL the console runs key notifies at
//                                       (from a notify of the probe's own)
//   "UNREGISTER <code> <shift> <status>", then "PROBE DONE"
//   "KEY <scan> <char> <shift> <toggle>" per key (keys mode), "KEYS DONE"

#include "common/guards.h"
#include "common/tpl.h"
#include "tests/apps/hold.h"
#include "hotkey/hotkey_protocol.h"

namespace {

struct Combination {
  UINT8 KeyCode;
  UINT8 ShiftState;
};

constexpr UINT8 F9Code = 0x43;
constexpr UINT8 ACode = 0x1E;
constexpr UINT8 LeftCtrl = EFI_LEFT_CONTROL_PRESSED;
constexpr UINT8 RightCtrl = EFI_RIGHT_CONTROL_PRESSED;
constexpr UINT8 LeftAlt = EFI_LEFT_ALT_PRESSED;
constexpr UINT8 RightAlt = EFI_RIGHT_ALT_PRESSED;

constexpr Combination Combinations[] = {
    {F9Code, LeftCtrl | LeftAlt},   {F9Code, LeftCtrl | RightAlt}, {F9Code, RightCtrl | LeftAlt},
    {F9Code, RightCtrl | RightAlt}, {ACode, LeftCtrl | LeftAlt},
};

EFI_GUID TextInputExGuid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;

// Set by the probe's own console notify for Ctrl+Alt+F9, reported at the end.
EFI_TPL NotifyTpl = 0;

bool SameText(const CHAR16 *Left, const char16_t *Right) {
  while (*Left != 0 && *Left == *Right) {
    ++Left;
    ++Right;
  }
  return *Left == *Right;
}

bool ReadNumber(const CHAR16 *Text, UINT32 &Value) {
  UINT64 Number = 0;
  if (*Text == 0) {
    return false;
  }
  for (; *Text != 0; ++Text) {
    if (*Text < u'0' || *Text > u'9' || Number > 100000) {
      return false;
    }
    Number = Number * 10 + (*Text - u'0');
  }
  Value = static_cast<UINT32>(Number);
  return true;
}

// The context carries the combination, so the line shows which one fired.
EFI_STATUS EFIAPI ReportHotKey(VOID *Context) {
  UINTN Combined = reinterpret_cast<UINTN>(Context);
  Print(Text(u"HOTKEY %02x %02x TPL %d\n"), (Combined >> 8) & 0xFF, Combined & 0xFF, CurrentTpl());
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI NoteNotifyTpl(EFI_KEY_DATA *) {
  NotifyTpl = CurrentTpl();
  return EFI_SUCCESS;
}

EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *ConsoleTextInput() {
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *TextInput = nullptr;
  if (EFI_ERROR(BS->HandleProtocol(ST->ConsoleInHandle, &TextInputExGuid,
                                   reinterpret_cast<VOID **>(&TextInput)))) {
    return nullptr;
  }
  return TextInput;
}

EFI_STATUS RegisterAll(HotKeyProtocol *HotKeys, UINT8 Value) {
  HotKeyRegistration Record;
  // The provider must not depend on the gap.
  SetMem(&Record, sizeof(Record), 0xCC);
  Record.Flag = HotKeyFlagEnabled;
  Record.Handler = ReportHotKey;
  for (const Combination &Entry : Combinations) {
    Record.KeyCode = Entry.KeyCode;
    Record.ShiftState = Entry.ShiftState;
    Record.Context = reinterpret_cast<VOID *>(UINTN{Entry.KeyCode} << 8 | Entry.ShiftState);
    EFI_STATUS Status = HotKeys->RegisterHotKey(&Record, Value);
    Print(Text(u"%s %02x %02x %r\n"),
          Value == HotKeyRegister ? Text(u"REGISTER") : Text(u"UNREGISTER"), Entry.KeyCode,
          Entry.ShiftState, Status);
  }
  return EFI_SUCCESS;
}

EFI_STATUS Probe(UINT32 Seconds) {
  EFI_GUID HotKeyGuid = HOT_KEY_PROTOCOL_GUID;
  HotKeyProtocol *HotKeys = nullptr;
  EFI_STATUS Status = BS->LocateProtocol(&HotKeyGuid, nullptr, reinterpret_cast<VOID **>(&HotKeys));
  if (EFI_ERROR(Status)) {
    Print(Text(u"PROBE ERROR no hot-key protocol: %r\n"), Status);
    return Status;
  }
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *TextInput = ConsoleTextInput();
  VOID *OwnNotify = nullptr;
  if (TextInput != nullptr) {
    EFI_KEY_DATA KeyData = {};
    KeyData.Key.ScanCode = SCAN_F9;
    KeyData.KeyState.KeyShiftState = EFI_SHIFT_STATE_VALID | LeftCtrl | LeftAlt;
    TextInput->RegisterKeyNotify(TextInput, &KeyData, NoteNotifyTpl, &OwnNotify);
  }
  RegisterAll(HotKeys, HotKeyRegister);
  Print(Text(u"PROBE READY\n"));
  Hold(Seconds);
  RegisterAll(HotKeys, HotKeyUnregister);
  if (OwnNotify != nullptr) {
    TextInput->UnregisterKeyNotify(TextInput, OwnNotify);
  }
  Print(Text(u"NOTIFY TPL %d\n"), NotifyTpl);
  // The keys pressed meanwhile are not meant for the shell.
  ST->ConIn->Reset(ST->ConIn, FALSE);
  Print(Text(u"PROBE DONE\n"));
  return EFI_SUCCESS;
}

EFI_STATUS ShowKeys(UINT32 Seconds) {
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *TextInput = ConsoleTextInput();
  if (TextInput == nullptr) {
    Print(Text(u"PROBE ERROR no extended text input\n"));
    return EFI_UNSUPPORTED;
  }
  EFI_EVENT Timer = nullptr;
  if (EFI_ERROR(BS->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &Timer))) {
    return EFI_OUT_OF_RESOURCES;
  }
  EventGuard TimerGuard(Timer);
  BS->SetTimer(Timer, TimerRelative, UINT64{Seconds} * 10000000);
  Print(Text(u"KEYS READY\n"));
  EFI_EVENT Events[2] = {TextInput->WaitForKeyEx, Timer};
  for (;;) {
    UINTN Index = 0;
    BS->WaitForEvent(2, Events, &Index);
    if (Index == 1) {
      break;
    }
    EFI_KEY_DATA KeyData = {};
    if (!EFI_ERROR(TextInput->ReadKeyStrokeEx(TextInput, &KeyData))) {
      Print(Text(u"KEY %04x %04x %08x %02x\n"), KeyData.Key.ScanCode, KeyData.Key.UnicodeChar,
            KeyData.KeyState.KeyShiftState, KeyData.KeyState.KeyToggleState);
    }
  }
  Print(Text(u"KEYS DONE\n"));
  return EFI_SUCCESS;
}

} // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);

  CHAR16 **Argv = nullptr;
  const INTN Argc = GetShellArgcArgv(ImageHandle, &Argv);
  UINT32 Seconds = 30;
  bool Keys = false;
  if (Argc == 3 && (SameText(Argv[1], u"wait") || SameText(Argv[1], u"keys"))) {
    Keys = SameText(Argv[1], u"keys");
    if (!ReadNumber(Argv[2], Seconds)) {
      Print(Text(u"PROBE ERROR bad number %s\n"), Argv[2]);
      return EFI_INVALID_PARAMETER;
    }
  } else if (Argc != 1) {
    Print(Text(u"PROBE ERROR usage: HotKeyProbe.efi [wait N | keys N]\n"));
    return EFI_INVALID_PARAMETER;
  }
  return Keys ? ShowKeys(Seconds) : Probe(Seconds);
}
