// HotKeyProvider: the scan-code map, the key data it asks the console for,
// and the protocol against a fake console: record copying, matching, the
// deferral from the keyboard's notify to TPL_CALLBACK, refused requests,
// unregistering and unloading.
#include <cstring>
#include <string>
#include <vector>

#include "platform/hotkey_provider/hotkey_dispatch.h"
#include "platform/hotkey_provider/hotkey_service.h"
#include "platform/hotkey_provider/key_map.h"
#include "platform/hotkey_provider/provider.h"
#include "tests/host/fake_firmware.h"
#include "tests/host/fake_text_input.h"

namespace {

constexpr UINT8 F8Code = 0x42;
constexpr UINT8 F9Code = 0x43;
constexpr UINT8 ACode = 0x1E;
constexpr UINT8 BCode = 0x30;
constexpr UINT8 OneCode = 0x02;

constexpr UINT8 LCtrl = EFI_LEFT_CONTROL_PRESSED;
constexpr UINT8 RCtrl = EFI_RIGHT_CONTROL_PRESSED;
constexpr UINT8 LAlt = EFI_LEFT_ALT_PRESSED;
constexpr UINT8 RAlt = EFI_RIGHT_ALT_PRESSED;
constexpr UINT8 LShift = EFI_LEFT_SHIFT_PRESSED;
constexpr UINT8 RShift = EFI_RIGHT_SHIFT_PRESSED;
constexpr UINT32 Valid = EFI_SHIFT_STATE_VALID;
// What a PS/2 keyboard reports with Caps Lock on.
constexpr UINT8 CapsLockOn = EFI_TOGGLE_STATE_VALID | EFI_KEY_STATE_EXPOSED | EFI_CAPS_LOCK_ACTIVE;

// HotKeyCapture's four combinations.
constexpr UINT8 ControlAlt[] = {LCtrl | LAlt, LCtrl | RAlt, RCtrl | LAlt, RCtrl | RAlt};

// --- scan-code map ------------------------------------------------------------

TEST(HotKeyKeyMap, MapsFunctionKeysDigitsAndLettersAndNothingElse) {
  struct Expected {
    UINT16 ScanCode;
    CHAR16 Char;
  };
  Expected Map[256] = {};
  const UINT16 FKeys[] = {SCAN_F1, SCAN_F2, SCAN_F3, SCAN_F4, SCAN_F5,
                          SCAN_F6, SCAN_F7, SCAN_F8, SCAN_F9, SCAN_F10};
  for (UINT8 Index = 0; Index < 10; ++Index) {
    Map[0x3B + Index] = {FKeys[Index], 0};
  }
  Map[0x57] = {SCAN_F11, 0};
  Map[0x58] = {SCAN_F12, 0};
  const char *Digits = "1234567890";
  for (UINT8 Index = 0; Index < 10; ++Index) {
    Map[0x02 + Index] = {SCAN_NULL, static_cast<CHAR16>(Digits[Index])};
  }
  // The three letter rows of the set-1 layout.
  const struct {
    UINT8 First;
    const char *Letters;
  } Rows[] = {{0x10, "qwertyuiop"}, {0x1E, "asdfghjkl"}, {0x2C, "zxcvbnm"}};
  for (const auto &Row : Rows) {
    for (UINT8 Index = 0; Row.Letters[Index] != 0; ++Index) {
      Map[Row.First + Index] = {SCAN_NULL, static_cast<CHAR16>(Row.Letters[Index])};
    }
  }

  unsigned Letters = 0;
  for (unsigned Code = 0; Code < 256; ++Code) {
    SCOPED_TRACE("scan code 0x" + std::to_string(Code));
    EFI_INPUT_KEY Key{0x7777, 0x7777};
    const bool Known = Map[Code].ScanCode != SCAN_NULL || Map[Code].Char != 0;
    ASSERT_EQ(InputKeyFromScanCode(static_cast<UINT8>(Code), Key), Known);
    if (Known) {
      EXPECT_EQ(Key.ScanCode, Map[Code].ScanCode);
      EXPECT_EQ(Key.UnicodeChar, Map[Code].Char);
      Letters += Key.UnicodeChar >= u'a' && Key.UnicodeChar <= u'z';
    }
  }
  EXPECT_EQ(Letters, 26u);
  EFI_INPUT_KEY F9{};
  ASSERT_TRUE(InputKeyFromScanCode(F9Code, F9));
  EXPECT_EQ(F9.ScanCode, SCAN_F9);
}

struct PatternCase {
  const char *Name;
  UINT8 Code;
  UINT8 Shift;
  EFI_STATUS Status;
  std::vector<std::pair<UINT16, CHAR16>> Keys; // what the console may report
};

TEST(HotKeyKeyMap, KeyDataCoversEveryFormOfThePress) {
  const PatternCase Cases[] = {
      {"Ctrl+Alt+F9", F9Code, LCtrl | LAlt, EFI_SUCCESS, {{SCAN_F9, 0}}},
      {"Shift+F12", 0x58, RShift, EFI_SUCCESS, {{SCAN_F12, 0}}},
      // Caps Lock gives the capital; some drivers report Ctrl+A as 0x01.
      {"Ctrl+Alt+A", ACode, LCtrl | LAlt, EFI_SUCCESS, {{0, u'a'}, {0, u'A'}, {0, 0x01}}},
      {"Alt+B", BCode, RAlt, EFI_SUCCESS, {{0, u'b'}, {0, u'B'}}},
      {"Ctrl+1", OneCode, LCtrl, EFI_SUCCESS, {{0, u'1'}}},
      {"no modifier", F9Code, 0, EFI_INVALID_PARAMETER, {}},
      {"unknown code", 0x1C, LCtrl, EFI_UNSUPPORTED, {}},
      {"Shift+letter", ACode, LShift | LCtrl, EFI_UNSUPPORTED, {}},
      {"Shift+digit", OneCode, RShift, EFI_UNSUPPORTED, {}},
  };
  for (const PatternCase &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    KeyPatternSet Patterns;
    std::memset(&Patterns, 0x5A, sizeof Patterns);
    ASSERT_EQ(KeyPatternsFor(Case.Code, Case.Shift, Patterns), Case.Status);
    ASSERT_EQ(Patterns.Count, Case.Keys.size());
    for (UINTN Index = 0; Index < Patterns.Count; ++Index) {
      const EFI_KEY_DATA &Key = Patterns.Keys[Index];
      EXPECT_EQ(Key.Key.ScanCode, Case.Keys[Index].first);
      EXPECT_EQ(Key.Key.UnicodeChar, Case.Keys[Index].second);
      EXPECT_EQ(Key.KeyState.KeyShiftState, Valid | Case.Shift);
      // 0: any toggle state (Num Lock, Caps Lock) matches.
      EXPECT_EQ(Key.KeyState.KeyToggleState, 0);
    }
  }
}

TEST(HotKeyKeyMap, SamePressComparesKeyAndShiftButNotToggles) {
  EFI_KEY_DATA Pattern{{SCAN_F9, 0}, {Valid | LCtrl | LAlt, 0}};
  EFI_KEY_DATA Press = Pattern;
  Press.KeyState.KeyToggleState = CapsLockOn;
  EXPECT_TRUE(SamePress(Pattern, Press));
  EFI_KEY_DATA Other = Press;
  Other.Key.ScanCode = SCAN_F8;
  EXPECT_FALSE(SamePress(Pattern, Other));
  Other = Press;
  Other.Key.UnicodeChar = u'a';
  EXPECT_FALSE(SamePress(Pattern, Other));
  Other = Press;
  Other.KeyState.KeyShiftState = Valid | RCtrl | LAlt;
  EXPECT_FALSE(SamePress(Pattern, Other));
  Other.KeyState.KeyShiftState = LCtrl | LAlt; // shift state not valid
  EXPECT_FALSE(SamePress(Pattern, Other));
}

// --- the protocol against a fake console -----------------------------------------

FakeFirmware *TheFirmware = nullptr;

// A handler's context: what it saw on each call.
struct HandlerLog {
  std::vector<EFI_TPL> Tpls;
  EFI_STATUS Result = EFI_SUCCESS;
  size_t Calls() const { return Tpls.size(); }
};

EFI_STATUS EFIAPI LogHandler(VOID *Context) {
  auto *Log = static_cast<HandlerLog *>(Context);
  Log->Tpls.push_back(TheFirmware->CurrentTpl());
  return Log->Result;
}

// The same, under another address: another handler.
EFI_STATUS EFIAPI OtherLogHandler(VOID *Context) {
  auto *Log = static_cast<HandlerLog *>(Context);
  Log->Tpls.push_back(TheFirmware->CurrentTpl());
  return Log->Result;
}

// A record as a caller leaves it: the gap and everything else filled first.
HotKeyRegistration Record(UINT8 Code, UINT8 Shift, HOT_KEY_HANDLER Handler, VOID *Context) {
  HotKeyRegistration Out;
  std::memset(&Out, 0xA5, sizeof Out);
  Out.KeyCode = Code;
  Out.ShiftState = Shift;
  Out.Flag = HotKeyFlagEnabled;
  Out.Handler = Handler;
  Out.Context = Context;
  return Out;
}

EFI_GUID HotKeyGuid = HOT_KEY_PROTOCOL_GUID;

class HotKeyProviderTest : public FirmwareTest {
protected:
  void SetUp() override {
    TheFirmware = &Fw;
    // The provider's globals outlive a test; a new load starts from nothing.
    HotKeys = {};
    HotKeyEvent = nullptr;
    ProviderHandle = nullptr;
    ASSERT_EQ(HotKeyProviderMain(Fw.ImageHandle()), EFI_SUCCESS);
    ASSERT_EQ(BS->LocateProtocol(&HotKeyGuid, nullptr, reinterpret_cast<VOID **>(&Protocol)),
              EFI_SUCCESS);
  }

  void TearDown() override {
    if (HotKeyEvent != nullptr) {
      Installer.UninstallFailure = EFI_SUCCESS;
      Console.UnregisterFailure = EFI_SUCCESS;
      EXPECT_EQ(HotKeyProviderUnload(Fw.ImageHandle()), EFI_SUCCESS);
    }
    EXPECT_TRUE(Console.Registrations().empty());
    FirmwareTest::TearDown();
  }

  EFI_STATUS Register(UINT8 Code, UINT8 Shift, HandlerLog &Log,
                      HOT_KEY_HANDLER Handler = LogHandler) {
    const HotKeyRegistration Request = Record(Code, Shift, Handler, &Log);
    return Protocol->RegisterHotKey(&Request, HotKeyRegister);
  }
  EFI_STATUS Unregister(UINT8 Code, UINT8 Shift, HOT_KEY_HANDLER Handler = LogHandler) {
    const HotKeyRegistration Request = Record(Code, Shift, Handler, nullptr);
    return Protocol->RegisterHotKey(&Request, HotKeyUnregister);
  }

  // A key press, then the TPL falling back so queued event notifies run.
  void Press(UINT16 ScanCode, CHAR16 Char, UINT32 ShiftState, UINT8 Toggles = 0xC0) {
    Console.Press(ScanCode, Char, ShiftState, Toggles);
    Queue.RunPending(Fw);
  }
  void PressF9(UINT32 ShiftState) { Press(SCAN_F9, 0, ShiftState); }

  unsigned EventSignals() const { return Fw.FindEvent(HotKeyEvent)->Signals; }

  FakeTextInputEx Console{Fw};
  FakeProtocolInstaller Installer{Fw};
  SignalQueue Queue;
  HotKeyProtocol *Protocol = nullptr;
};

TEST_F(HotKeyProviderTest, LoadInstallsTheProtocolOnItsOwnHandleAndAnUnload) {
  ASSERT_EQ(Installer.InstalledNow().size(), 1u);
  EXPECT_NE(Installer.InstalledNow()[0].Handle, Fw.ImageHandle());
  EXPECT_EQ(Protocol, &HotKeyInterface);
  EXPECT_EQ(reinterpret_cast<void *>(*reinterpret_cast<void **>(Protocol)),
            reinterpret_cast<void *>(&RegisterHotKey));

  EFI_GUID LoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
  EFI_LOADED_IMAGE *Image = nullptr;
  ASSERT_EQ(
      BS->HandleProtocol(Fw.ImageHandle(), &LoadedImageGuid, reinterpret_cast<VOID **>(&Image)),
      EFI_SUCCESS);
  EXPECT_EQ(Image->Unload, &HotKeyProviderUnload);

  const FakeEvent *Event = Fw.FindEvent(HotKeyEvent);
  ASSERT_NE(Event, nullptr);
  EXPECT_EQ(Event->Type, static_cast<UINT32>(EVT_NOTIFY_SIGNAL));
  EXPECT_EQ(Event->NotifyTpl, static_cast<EFI_TPL>(TPL_CALLBACK));

  // A second copy would never be found: it refuses to load and leaves nothing.
  EXPECT_EQ(HotKeyProviderMain(Fw.ImageHandle()), EFI_ALREADY_STARTED);
  EXPECT_EQ(Fw.OpenEventCount(), 1u);
  EXPECT_EQ(Installer.InstalledNow().size(), 1u);
}

TEST_F(HotKeyProviderTest, LoadFailuresLeaveNothingBehind) {
  ASSERT_EQ(HotKeyProviderUnload(Fw.ImageHandle()), EFI_SUCCESS);

  Fw.FailNext(FwCall::CreateEvent, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(HotKeyProviderMain(Fw.ImageHandle()), EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(Installer.InstalledNow().empty());

  Installer.InstallFailure = EFI_OUT_OF_RESOURCES;
  EXPECT_EQ(HotKeyProviderMain(Fw.ImageHandle()), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Fw.OpenEventCount(), 0u);
  EXPECT_EQ(HotKeyEvent, nullptr);
}

TEST_F(HotKeyProviderTest, KeepsACopyOfTheRecord) {
  HandlerLog Log;
  auto *Caller = new HotKeyRegistration(Record(F9Code, LCtrl | LAlt, LogHandler, &Log));
  ASSERT_EQ(Protocol->RegisterHotKey(Caller, HotKeyRegister), EFI_SUCCESS);
  // HotKeyCapture reuses its record for the next call, then it goes away.
  Caller->ShiftState = RCtrl | RAlt;
  Caller->Handler = OtherLogHandler;
  std::memset(Caller, 0xEE, sizeof *Caller);
  delete Caller;

  ASSERT_EQ(Console.Registrations().size(), 1u);
  const EFI_KEY_DATA Asked = Console.Registrations()[0].KeyData;
  EXPECT_EQ(Asked.Key.ScanCode, SCAN_F9);
  EXPECT_EQ(Asked.Key.UnicodeChar, 0);
  EXPECT_EQ(Asked.KeyState.KeyShiftState, Valid | LCtrl | LAlt);
  EXPECT_EQ(Asked.KeyState.KeyToggleState, 0);

  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);
  PressF9(Valid | RCtrl | RAlt);
  EXPECT_EQ(Log.Calls(), 1u);
}

TEST_F(HotKeyProviderTest, OnlyTheExactCombinationFires) {
  HandlerLog Logs[4];
  for (int Index = 0; Index < 4; ++Index) {
    ASSERT_EQ(Register(F9Code, ControlAlt[Index], Logs[Index]), EFI_SUCCESS);
  }
  EXPECT_EQ(Console.Registrations().size(), 4u);

  const struct {
    const char *Name;
    UINT16 ScanCode;
    UINT32 Shift;
    UINT8 Toggles;
    int Fires; // index into Logs, -1 for none
  } Presses[] = {
      {"LCtrl+LAlt+F9", SCAN_F9, Valid | LCtrl | LAlt, 0xC0, 0},
      {"LCtrl+RAlt+F9", SCAN_F9, Valid | LCtrl | RAlt, 0xC0, 1},
      {"RCtrl+LAlt+F9", SCAN_F9, Valid | RCtrl | LAlt, 0xC0, 2},
      {"RCtrl+RAlt+F9", SCAN_F9, Valid | RCtrl | RAlt, 0xC0, 3},
      {"Ctrl+Alt+F9 with Caps Lock on", SCAN_F9, Valid | LCtrl | LAlt, CapsLockOn, 0},
      {"F9", SCAN_F9, Valid, 0xC0, -1},
      {"Ctrl+F9", SCAN_F9, Valid | LCtrl, 0xC0, -1},
      {"Alt+F9", SCAN_F9, Valid | LAlt, 0xC0, -1},
      {"Ctrl+Alt+F8", SCAN_F8, Valid | LCtrl | LAlt, 0xC0, -1},
      {"Shift+Ctrl+Alt+F9", SCAN_F9, Valid | LShift | LCtrl | LAlt, 0xC0, -1},
      {"both Ctrl+Alt+F9", SCAN_F9, Valid | LCtrl | RCtrl | LAlt, 0xC0, -1},
      {"Ctrl+Alt+F9, shift state not valid", SCAN_F9, LCtrl | LAlt, 0xC0, -1},
  };
  for (const auto &Case : Presses) {
    SCOPED_TRACE(Case.Name);
    size_t Before[4];
    for (int Index = 0; Index < 4; ++Index) {
      Before[Index] = Logs[Index].Calls();
    }
    Press(Case.ScanCode, 0, Case.Shift, Case.Toggles);
    for (int Index = 0; Index < 4; ++Index) {
      EXPECT_EQ(Logs[Index].Calls() - Before[Index], Index == Case.Fires ? 1u : 0u)
          << "registration " << Index;
    }
  }
}

TEST_F(HotKeyProviderTest, ChecksTheShiftStateEvenIfTheConsoleDoesNot) {
  HandlerLog Log;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_SUCCESS);
  // A serial terminal matches on the key alone and calls for a plain F9.
  Console.IgnoreShiftState = true;
  PressF9(Valid);
  EXPECT_EQ(Console.NotifyTpls().size(), 1u);
  EXPECT_EQ(EventSignals(), 0u);
  EXPECT_EQ(Log.Calls(), 0u);
  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);
}

TEST_F(HotKeyProviderTest, LetterFiresInEachFormTheConsoleReportsIt) {
  HandlerLog Log;
  ASSERT_EQ(Register(ACode, LCtrl | LAlt, Log), EFI_SUCCESS);
  EXPECT_EQ(Console.Registrations().size(), 3u);
  const struct {
    const char *Name;
    CHAR16 Char;
    UINT32 Shift;
    UINT8 Toggles;
    size_t Calls;
  } Presses[] = {
      {"a", u'a', Valid | LCtrl | LAlt, 0xC0, 1},
      {"A under Caps Lock", u'A', Valid | LCtrl | LAlt, CapsLockOn, 1},
      {"Ctrl+A as 0x01", 0x01, Valid | LCtrl | LAlt, 0xC0, 1},
      {"b", u'b', Valid | LCtrl | LAlt, 0xC0, 0},
      {"a with Ctrl only", u'a', Valid | LCtrl, 0xC0, 0},
      {"plain a", u'a', Valid, 0xC0, 0},
  };
  for (const auto &Case : Presses) {
    SCOPED_TRACE(Case.Name);
    const size_t Before = Log.Calls();
    Press(SCAN_NULL, Case.Char, Case.Shift, Case.Toggles);
    EXPECT_EQ(Log.Calls() - Before, Case.Calls);
  }
}

TEST_F(HotKeyProviderTest, HandlersRunFromTheCallbackEventNotFromTheKeyNotify) {
  HandlerLog Log;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_SUCCESS);

  Console.PressF9(Valid | LCtrl | LAlt);
  ASSERT_EQ(Console.NotifyTpls().size(), 1u);
  EXPECT_EQ(Console.NotifyTpls()[0], static_cast<EFI_TPL>(TPL_NOTIFY));
  EXPECT_EQ(Log.Calls(), 0u);
  EXPECT_EQ(EventSignals(), 1u);

  EXPECT_EQ(Queue.RunPending(Fw), 1u);
  ASSERT_EQ(Log.Calls(), 1u);
  EXPECT_EQ(Log.Tpls[0], static_cast<EFI_TPL>(TPL_CALLBACK));

  // Two presses before the event's notify runs: one run, one call per press.
  Console.PressF9(Valid | LCtrl | LAlt);
  Console.PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);
  EXPECT_EQ(Queue.RunPending(Fw), 1u);
  EXPECT_EQ(Log.Calls(), 3u);

  // Nothing pending: a stray run calls nobody.
  const EFI_TPL Old = BS->RaiseTPL(TPL_CALLBACK);
  RunPendingHotKeys(HotKeyEvent, nullptr);
  BS->RestoreTPL(Old);
  EXPECT_EQ(Log.Calls(), 3u);
  EXPECT_EQ(Log.Tpls, std::vector<EFI_TPL>(3, TPL_CALLBACK));
}

TEST_F(HotKeyProviderTest, AHandlerFailureIsKeptAndChangesNothingElse) {
  HandlerLog Failing;
  Failing.Result = EFI_DEVICE_ERROR;
  HandlerLog Working;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Failing), EFI_SUCCESS);
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Working, OtherLogHandler), EFI_SUCCESS);
  PressF9(Valid | LCtrl | LAlt);
  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Failing.Calls(), 2u);
  EXPECT_EQ(Working.Calls(), 2u);
  const HotKeySlot *Slot = FindHotKey(HotKeys, F9Code, LCtrl | LAlt, LogHandler);
  ASSERT_NE(Slot, nullptr);
  EXPECT_EQ(Slot->LastStatus, EFI_DEVICE_ERROR);
}

TEST_F(HotKeyProviderTest, HandlersOfOneCombinationShareOneConsoleRegistration) {
  HandlerLog First;
  HandlerLog Second;
  ASSERT_EQ(Register(F9Code, RCtrl | RAlt, First), EFI_SUCCESS);
  ASSERT_EQ(Register(F9Code, RCtrl | RAlt, Second, OtherLogHandler), EFI_SUCCESS);
  EXPECT_EQ(Console.Registrations().size(), 1u);
  PressF9(Valid | RCtrl | RAlt);
  EXPECT_EQ(First.Calls(), 1u);
  EXPECT_EQ(Second.Calls(), 1u);

  // The console gives the same handle for the same key data and function:
  // removing the first handler must not silence the second.
  ASSERT_EQ(Unregister(F9Code, RCtrl | RAlt), EFI_SUCCESS);
  EXPECT_EQ(Console.Registrations().size(), 1u);
  PressF9(Valid | RCtrl | RAlt);
  EXPECT_EQ(First.Calls(), 1u);
  EXPECT_EQ(Second.Calls(), 2u);

  ASSERT_EQ(Unregister(F9Code, RCtrl | RAlt, OtherLogHandler), EFI_SUCCESS);
  EXPECT_TRUE(Console.Registrations().empty());
}

TEST_F(HotKeyProviderTest, RegisteringTheSameEntryTwiceKeepsOne) {
  HandlerLog Log;
  HandlerLog Later;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_SUCCESS);
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Later), EFI_SUCCESS);
  EXPECT_EQ(Console.RegisterCalls(), 1u);
  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u); // the first context stays
  EXPECT_EQ(Later.Calls(), 0u);
  EXPECT_EQ(Unregister(F9Code, LCtrl | LAlt), EFI_SUCCESS);
  EXPECT_EQ(Unregister(F9Code, LCtrl | LAlt), EFI_NOT_FOUND);
}

TEST_F(HotKeyProviderTest, RefusesMalformedRequestsAndChangesNothing) {
  HandlerLog Kept;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Kept), EFI_SUCCESS);
  const unsigned RegisterCalls = Console.RegisterCalls();

  HandlerLog Log;
  const struct {
    const char *Name;
    bool NullRecord;
    UINT8 Code;
    UINT8 Shift;
    UINT8 Flag;
    bool NullHandler;
    UINT8 Value;
    EFI_STATUS Status;
  } Cases[] = {
      {"null record", true, F9Code, LCtrl | LAlt, 1, false, 1, EFI_INVALID_PARAMETER},
      {"null record, unregister", true, F9Code, LCtrl | LAlt, 1, false, 0, EFI_INVALID_PARAMETER},
      {"null handler", false, F9Code, LCtrl | LAlt, 1, true, 1, EFI_INVALID_PARAMETER},
      {"null handler, unregister", false, F9Code, LCtrl | LAlt, 1, true, 0, EFI_INVALID_PARAMETER},
      {"flag 0", false, F9Code, LCtrl | LAlt, 0, false, 1, EFI_INVALID_PARAMETER},
      {"flag 2", false, F9Code, LCtrl | LAlt, 2, false, 1, EFI_INVALID_PARAMETER},
      {"flag 0, unregister", false, F9Code, LCtrl | LAlt, 0, false, 0, EFI_INVALID_PARAMETER},
      {"value 2", false, F9Code, LCtrl | LAlt, 1, false, 2, EFI_INVALID_PARAMETER},
      {"value 255", false, F9Code, LCtrl | LAlt, 1, false, 255, EFI_INVALID_PARAMETER},
      {"no modifier", false, F9Code, 0, 1, false, 1, EFI_INVALID_PARAMETER},
      {"no modifier, unregister", false, F9Code, 0, 1, false, 0, EFI_INVALID_PARAMETER},
      {"scan code 0", false, 0x00, LCtrl | LAlt, 1, false, 1, EFI_UNSUPPORTED},
      {"Esc", false, 0x01, LCtrl | LAlt, 1, false, 1, EFI_UNSUPPORTED},
      {"Enter", false, 0x1C, LCtrl | LAlt, 1, false, 1, EFI_UNSUPPORTED},
      {"past F12", false, 0x59, LCtrl | LAlt, 1, false, 1, EFI_UNSUPPORTED},
      {"F9 break code", false, 0x80 | F9Code, LCtrl | LAlt, 1, false, 1, EFI_UNSUPPORTED},
      {"Shift+Ctrl+A", false, ACode, LShift | LCtrl, 1, false, 1, EFI_UNSUPPORTED},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Name);
    HotKeyRegistration Request =
        Record(Case.Code, Case.Shift, Case.NullHandler ? nullptr : LogHandler, &Log);
    Request.Flag = Case.Flag;
    EXPECT_EQ(Protocol->RegisterHotKey(Case.NullRecord ? nullptr : &Request, Case.Value),
              Case.Status);
  }
  EXPECT_EQ(Console.RegisterCalls(), RegisterCalls);
  EXPECT_EQ(Console.UnregisterCalls(), 0u);
  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Kept.Calls(), 1u);
  EXPECT_EQ(Log.Calls(), 0u);
}

TEST_F(HotKeyProviderTest, RefusesCallsAboveTplCallback) {
  HandlerLog Log;
  const EFI_TPL Old = BS->RaiseTPL(TPL_NOTIFY);
  EXPECT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_UNSUPPORTED);
  BS->RestoreTPL(Old);
  EXPECT_EQ(Console.RegisterCalls(), 0u);
  // Fw.Clean() on TearDown also shows no TPL was lowered by a RaiseTPL.
}

TEST_F(HotKeyProviderTest, TableHoldsSixteenEntries) {
  HandlerLog Log;
  UINT8 Codes[MaxHotKeys];
  UINT8 Shifts[MaxHotKeys];
  for (UINTN Index = 0; Index < MaxHotKeys; ++Index) {
    Codes[Index] = static_cast<UINT8>(0x3B + Index % 10);
    Shifts[Index] = ControlAlt[Index / 10];
    ASSERT_EQ(Register(Codes[Index], Shifts[Index], Log), EFI_SUCCESS) << Index;
  }
  EXPECT_EQ(Register(0x57, LCtrl | LAlt, Log), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Console.Registrations().size(), MaxHotKeys);
  ASSERT_EQ(Unregister(Codes[3], Shifts[3]), EFI_SUCCESS);
  EXPECT_EQ(Register(0x57, LCtrl | LAlt, Log), EFI_SUCCESS);
  Press(SCAN_F11, 0, Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);
}

TEST_F(HotKeyProviderTest, AFailedConsoleRegistrationIsUndone) {
  HandlerLog Log;
  Console.FailRegister(EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_OUT_OF_RESOURCES);
  // Ctrl+Alt+A needs three registrations; the second fails, the first goes.
  Console.FailRegister(EFI_DEVICE_ERROR, 1);
  EXPECT_EQ(Register(ACode, LCtrl | LAlt, Log), EFI_DEVICE_ERROR);
  EXPECT_TRUE(Console.Registrations().empty());
  PressF9(Valid | LCtrl | LAlt);
  Press(SCAN_NULL, u'a', Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 0u);
  EXPECT_EQ(Unregister(F9Code, LCtrl | LAlt), EFI_NOT_FOUND);

  ASSERT_EQ(Register(ACode, LCtrl | LAlt, Log), EFI_SUCCESS);
  Press(SCAN_NULL, u'a', Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);
}

TEST_F(HotKeyProviderTest, NoConsoleInputIsNotReady) {
  EFI_GUID TextInputExGuid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
  Fw.UninstallProtocol(TextInputExGuid, Fw.SystemTable()->ConsoleInHandle);
  HandlerLog Log;
  EXPECT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_NOT_READY);
  EXPECT_EQ(Unregister(F9Code, LCtrl | LAlt), EFI_NOT_FOUND);
}

TEST_F(HotKeyProviderTest, UnregisterRemovesOnlyTheMatchingEntry) {
  HandlerLog Log;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_SUCCESS);
  EXPECT_EQ(Unregister(F9Code, RCtrl | LAlt), EFI_NOT_FOUND);
  EXPECT_EQ(Unregister(F8Code, LCtrl | LAlt), EFI_NOT_FOUND);
  EXPECT_EQ(Unregister(F9Code, LCtrl | LAlt, OtherLogHandler), EFI_NOT_FOUND);
  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);

  // A press seen but not yet handed on is dropped with its entry.
  Console.PressF9(Valid | LCtrl | LAlt);
  ASSERT_EQ(Unregister(F9Code, LCtrl | LAlt), EFI_SUCCESS);
  Queue.RunPending(Fw);
  EXPECT_EQ(Log.Calls(), 1u);
  EXPECT_TRUE(Console.Registrations().empty());
  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);
}

// Unregisters its own entry on its first call.
struct SelfRemover {
  HotKeyProtocol *Protocol;
  unsigned Calls;
  EFI_STATUS UnregisterStatus;
};
EFI_STATUS EFIAPI SelfRemovingHandler(VOID *Context) {
  auto *Self = static_cast<SelfRemover *>(Context);
  ++Self->Calls;
  const HotKeyRegistration Request = Record(F9Code, LCtrl | LAlt, SelfRemovingHandler, nullptr);
  Self->UnregisterStatus = Self->Protocol->RegisterHotKey(&Request, HotKeyUnregister);
  return EFI_SUCCESS;
}

TEST_F(HotKeyProviderTest, AHandlerMayUnregisterItself) {
  SelfRemover Self{Protocol, 0, EFI_NOT_STARTED};
  const HotKeyRegistration Request = Record(F9Code, LCtrl | LAlt, SelfRemovingHandler, &Self);
  ASSERT_EQ(Protocol->RegisterHotKey(&Request, HotKeyRegister), EFI_SUCCESS);
  Console.PressF9(Valid | LCtrl | LAlt);
  Console.PressF9(Valid | LCtrl | LAlt);
  Queue.RunPending(Fw);
  EXPECT_EQ(Self.Calls, 1u);
  EXPECT_EQ(Self.UnregisterStatus, EFI_SUCCESS);
  EXPECT_TRUE(Console.Registrations().empty());
}

TEST_F(HotKeyProviderTest, UnloadTakesEverythingDown) {
  HandlerLog Log;
  for (UINT8 Shift : ControlAlt) {
    ASSERT_EQ(Register(F9Code, Shift, Log), EFI_SUCCESS);
  }
  ASSERT_EQ(Register(ACode, LCtrl | LAlt, Log), EFI_SUCCESS);
  ASSERT_EQ(Register(ACode, LCtrl | LAlt, Log, OtherLogHandler), EFI_SUCCESS);
  EXPECT_EQ(Console.Registrations().size(), 7u);
  Console.PressF9(Valid | LCtrl | LAlt); // pending when the unload comes

  ASSERT_EQ(HotKeyProviderUnload(Fw.ImageHandle()), EFI_SUCCESS);
  EXPECT_TRUE(Console.Registrations().empty());
  EXPECT_EQ(Fw.OpenEventCount(), 0u);
  VOID *Found = nullptr;
  EXPECT_EQ(BS->LocateProtocol(&HotKeyGuid, nullptr, &Found), EFI_NOT_FOUND);
  EXPECT_TRUE(Installer.InstalledNow().empty());
  Queue.RunPending(Fw);
  EXPECT_EQ(Log.Calls(), 0u);
}

TEST_F(HotKeyProviderTest, UnloadRefusedWhileTheProtocolCannotBeUninstalled) {
  HandlerLog Log;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_SUCCESS);
  Installer.UninstallFailure = EFI_ACCESS_DENIED;
  EXPECT_EQ(HotKeyProviderUnload(Fw.ImageHandle()), EFI_ACCESS_DENIED);
  // Still fully working.
  VOID *Found = nullptr;
  EXPECT_EQ(BS->LocateProtocol(&HotKeyGuid, nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Console.UnregisterCalls(), 0u);
  PressF9(Valid | LCtrl | LAlt);
  EXPECT_EQ(Log.Calls(), 1u);
}

TEST_F(HotKeyProviderTest, UnloadRefusedWhileAKeyNotificationStays) {
  HandlerLog Log;
  ASSERT_EQ(Register(F9Code, LCtrl | LAlt, Log), EFI_SUCCESS);
  Console.UnregisterFailure = EFI_DEVICE_ERROR;
  // The console would call into freed code: the image must stay.
  EXPECT_EQ(HotKeyProviderUnload(Fw.ImageHandle()), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.OpenEventCount(), 1u);
  EXPECT_EQ(Console.Registrations().size(), 1u);
  PressF9(Valid | LCtrl | LAlt); // reaches the provider, which has no entry left
  EXPECT_EQ(Log.Calls(), 0u);

  Console.UnregisterFailure = EFI_SUCCESS;
  EXPECT_EQ(HotKeyProviderUnload(Fw.ImageHandle()), EFI_SUCCESS);
  EXPECT_TRUE(Console.Registrations().empty());
  EXPECT_EQ(Fw.OpenEventCount(), 0u);
}

} // namespace
