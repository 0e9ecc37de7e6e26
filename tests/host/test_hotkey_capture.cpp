// The HotKeyCapture driver: what its entry point registers, and what one
// press of the hot key saves and shows.
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "hotkey/badge_image.h"
#include "hotkey/hotkey_capture.h"
#include "hotkey/hotkey_protocol.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/cursor_reference.h"
#include "tests/host/fake_firmware.h"
#include "tests/host/fake_text_input.h"

namespace {

using cursor::Pixel;
using cursor::SamePixels;

// Written out here rather than taken from the header, so a wrong GUID there shows.
const EFI_GUID HotKeyGuid = {
    0xF1E48287, 0x3FE1, 0x4535, {0x89, 0xAB, 0x48, 0xD6, 0xC3, 0xDA, 0x27, 0x59}};
const std::string HotKeyGuidName = "f1e48287-3fe1-4535-89ab-48d6c3da2759";

// The provider's side of the hot-key protocol: keeps a copy of every record
// as it was during the call, and answers from a list of statuses.
class FakeHotKeys {
public:
  FakeHotKeys() {
    Current = this;
    Interface.RegisterHotKey = &Register;
  }
  ~FakeHotKeys() { Current = nullptr; }
  FakeHotKeys(const FakeHotKeys &) = delete;
  FakeHotKeys &operator=(const FakeHotKeys &) = delete;

  struct Call {
    std::array<UINT8, 24> Record;
    UINT8 Value;
  };
  std::vector<Call> Calls;
  std::vector<EFI_STATUS> Answers; // one per call; EFI_SUCCESS past the end
  HotKeyProtocol Interface{};

private:
  static EFI_STATUS EFIAPI Register(const HotKeyRegistration *Record, UINT8 Value) {
    FakeHotKeys &Self = *Current;
    if (Record == nullptr) {
      ADD_FAILURE() << "RegisterHotKey without a record";
      return EFI_INVALID_PARAMETER;
    }
    Call C{};
    std::memcpy(C.Record.data(), Record, C.Record.size());
    C.Value = Value;
    Self.Calls.push_back(C);
    const size_t N = Self.Calls.size() - 1;
    return N < Self.Answers.size() ? Self.Answers[N] : EFI_SUCCESS;
  }
  static FakeHotKeys *Current;
};
FakeHotKeys *FakeHotKeys::Current = nullptr;

UINT64 U64At(const std::array<UINT8, 24> &Bytes, size_t Offset) {
  UINT64 Value = 0;
  std::memcpy(&Value, Bytes.data() + Offset, sizeof Value);
  return Value;
}

// --- the entry point ---------------------------------------------------------

struct LoadCase {
  const char *Name;
  std::function<void(FakeFirmware &, FakeHotKeys &)> Arrange;
  EFI_STATUS Status;
  std::string Console;
  std::vector<std::string> Lookups; // LocateProtocol calls
  bool GopSet;
  bool Registers; // all four combinations attempted
};

void PrintTo(const LoadCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

void Install(FakeFirmware &Fw, FakeHotKeys &Keys) {
  Fw.InstallProtocol(HotKeyGuid, &Keys.Interface);
}

const std::string GopLookup = "LocateProtocol(GraphicsOutput)";
const std::string HotKeyLookup = "LocateProtocol(" + HotKeyGuidName + ")";

const LoadCase LoadCases[] = {
    {"NoGraphicsOutput",
     [](FakeFirmware &Fw, FakeHotKeys &Keys) { Install(Fw, Keys); },
     EFI_UNSUPPORTED,
     "Not Find  Draw Protocol\r\n",
     {GopLookup},
     false,
     false},
    {"NoHotKeyProtocol",
     [](FakeFirmware &Fw, FakeHotKeys &) { Fw.SetScreen(8, 8); },
     EFI_NOT_FOUND,
     "",
     {GopLookup, HotKeyLookup},
     true,
     false},
    {"HotKeyLookupFails",
     [](FakeFirmware &Fw, FakeHotKeys &Keys) {
       Fw.SetScreen(8, 8);
       Install(Fw, Keys);
       Fw.FailNext(FwCall::LocateProtocol, EFI_ACCESS_DENIED, 1);
     },
     EFI_ACCESS_DENIED,
     "",
     {GopLookup, HotKeyLookup},
     true,
     false},
    {"AllRegistered",
     [](FakeFirmware &Fw, FakeHotKeys &Keys) {
       Fw.SetScreen(8, 8);
       Install(Fw, Keys);
     },
     EFI_SUCCESS,
     "",
     {GopLookup, HotKeyLookup},
     true,
     true},
    // A refused combination only stays inactive.
    {"SecondRefused",
     [](FakeFirmware &Fw, FakeHotKeys &Keys) {
       Fw.SetScreen(8, 8);
       Install(Fw, Keys);
       Keys.Answers = {EFI_SUCCESS, EFI_UNSUPPORTED};
     },
     EFI_SUCCESS,
     "",
     {GopLookup, HotKeyLookup},
     true,
     true},
    {"AllRefused",
     [](FakeFirmware &Fw, FakeHotKeys &Keys) {
       Fw.SetScreen(8, 8);
       Install(Fw, Keys);
       Keys.Answers.assign(4, EFI_OUT_OF_RESOURCES);
     },
     EFI_SUCCESS,
     "",
     {GopLookup, HotKeyLookup},
     true,
     true},
};

class HotKeyLoadTest : public FirmwareTest, public ::testing::WithParamInterface<LoadCase> {
protected:
  void SetUp() override { GraphicsOutput = nullptr; }
  void TearDown() override {
    GraphicsOutput = nullptr;
    FirmwareTest::TearDown();
  }
  FakeHotKeys Keys;
};

TEST_P(HotKeyLoadTest, RegistersCtrlAltF9InEveryCombination) {
  const LoadCase &Case = GetParam();
  Case.Arrange(Fw, Keys);

  EXPECT_EQ(HotKeyCaptureMain(Fw.ImageHandle(), Fw.SystemTable()), Case.Status);

  EXPECT_EQ(Fw.ConsoleText(), Case.Console);
  EXPECT_EQ(Fw.CallLog({FwCall::LocateProtocol}), Case.Lookups);
  EXPECT_EQ(GraphicsOutput, Case.GopSet ? Fw.Gop() : nullptr);
  if (!Case.Registers) {
    EXPECT_TRUE(Keys.Calls.empty());
    return;
  }
  // Left/right Control with left/right Alt, in this order.
  const UINT8 ShiftStates[] = {0x28, 0x18, 0x24, 0x14};
  ASSERT_EQ(Keys.Calls.size(), 4u);
  for (size_t I = 0; I < 4; ++I) {
    SCOPED_TRACE(I);
    const FakeHotKeys::Call &C = Keys.Calls[I];
    EXPECT_EQ(C.Value, 1);
    EXPECT_EQ(C.Record[0], 0x43); // F9
    EXPECT_EQ(C.Record[1], ShiftStates[I]);
    EXPECT_EQ(C.Record[2], 1);
    EXPECT_EQ(U64At(C.Record, 8), reinterpret_cast<UINT64>(&HotKeyHandler));
    EXPECT_EQ(U64At(C.Record, 16), 0u);
  }
  EXPECT_EQ(Fw.CallCount(FwCall::Blt), 0u);
  EXPECT_EQ(Fw.CallCount(FwCall::Open), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, HotKeyLoadTest, ::testing::ValuesIn(LoadCases),
                         [](const ::testing::TestParamInfo<LoadCase> &Info) {
                           return std::string(Info.param.Name);
                         });

// --- a press of the hot key --------------------------------------------------

class HotKeyPressTest : public FirmwareTest {
protected:
  static constexpr UINT32 Width = 240, Height = 200;
  void SetUp() override {
    Fw.SetScreen(Width, Height);
    Fw.AddVolume();
    GraphicsOutput = Fw.Gop();
    CaptureCounter = 0;
  }
  void TearDown() override {
    GraphicsOutput = nullptr;
    FirmwareTest::TearDown();
  }
  static std::string NameOf(unsigned Number) {
    char Name[32];
    std::snprintf(Name, sizeof Name, "SaveScreen%02u.bmp", Number);
    return Name;
  }
  // The screen as it is after the badge is drawn at (100, 100) on Screen.
  static std::vector<Pixel> WithBadge(const std::vector<Pixel> &Screen) {
    return cursor::DrawnOnScreen(cursor::Read24(BadgeImage, 64), Screen, Width, 100, 100);
  }
  std::vector<UINT8> Picture(const std::vector<Pixel> &Screen) {
    return reference::File(Screen, Width, Height);
  }
  const std::vector<UINT8> *File(unsigned Number) { return Fw.Volume().File(NameOf(Number)); }
};

// Numbers, pictures, the badge and pool use over many presses; each picture
// shows the screen as the previous press left it, badge included.
TEST_F(HotKeyPressTest, EveryPressSavesTheNextNumberAndShowsTheBadge) {
  std::vector<Pixel> Expected = Fw.Screen();
  const size_t LiveBefore = Fw.LiveAllocations();
  const UINTN BytesBefore = Fw.LiveBytes();

  for (unsigned Press = 0; Press <= 100; ++Press) {
    SCOPED_TRACE(NameOf(Press));
    ASSERT_EQ(HotKeyHandler(nullptr), EFI_SUCCESS);

    const std::vector<UINT8> *Saved = File(Press);
    ASSERT_NE(Saved, nullptr);
    ASSERT_TRUE(*Saved == Picture(Expected)) << "picture differs from the screen";
    Expected = WithBadge(Expected);
    ASSERT_TRUE(SamePixels(Fw.Screen(), Expected, Width));
    ASSERT_EQ(Fw.Volume().FileNames().size(), Press + 1);
    ASSERT_EQ(Fw.LiveAllocations(), LiveBefore);
    ASSERT_EQ(Fw.LiveBytes(), BytesBefore);
  }
  EXPECT_NE(Fw.Volume().File("SaveScreen100.bmp"), nullptr);
  EXPECT_TRUE(*File(0) != *File(1)) << "the second picture shows the first badge";
  EXPECT_EQ(CaptureCounter, 101u);
  EXPECT_EQ(Fw.ConsoleText(), "");
}

TEST_F(HotKeyPressTest, FailedCaptureDrawsNoBadgeAndUsesUpItsNumber) {
  const std::vector<Pixel> Before = Fw.Screen();
  Fw.Volume().ReadOnly = true;

  EXPECT_EQ(HotKeyHandler(nullptr), EFI_WRITE_PROTECTED);

  EXPECT_EQ(Fw.ConsoleText(), "Create File Error\r\n");
  EXPECT_EQ(Fw.CallCount(FwCall::Blt), 0u);
  EXPECT_TRUE(SamePixels(Fw.Screen(), Before, Width));
  EXPECT_TRUE(Fw.Volume().FileNames().empty());
  EXPECT_EQ(Fw.LiveAllocations(), 0u);

  Fw.Volume().ReadOnly = false;
  ASSERT_EQ(HotKeyHandler(nullptr), EFI_SUCCESS);
  EXPECT_EQ(Fw.Volume().FileNames(), std::vector<std::string>{NameOf(1)});
  ASSERT_NE(File(1), nullptr);
  EXPECT_TRUE(*File(1) == Picture(Before));
  EXPECT_TRUE(SamePixels(Fw.Screen(), WithBadge(Before), Width));
}

struct BadgeFailure {
  const char *Name;
  unsigned BltsBefore; // successful Blt calls before the failing one
};

void PrintTo(const BadgeFailure &Case, std::ostream *Out) {
  *Out << Case.Name;
}

// The capture reads the screen with the first Blt; the badge reads, then writes.
const BadgeFailure BadgeFailures[] = {{"BadgeReadFails", 1}, {"BadgeWriteFails", 2}};

class HotKeyBadgeFailureTest : public HotKeyPressTest,
                               public ::testing::WithParamInterface<BadgeFailure> {};

TEST_P(HotKeyBadgeFailureTest, PictureSavedAllTheSame) {
  const std::vector<Pixel> Before = Fw.Screen();
  Fw.FailNext(FwCall::Blt, EFI_DEVICE_ERROR, GetParam().BltsBefore);

  EXPECT_EQ(HotKeyHandler(nullptr), EFI_SUCCESS);

  ASSERT_NE(File(0), nullptr);
  EXPECT_TRUE(*File(0) == Picture(Before));
  EXPECT_EQ(Fw.CallCount(FwCall::Blt), GetParam().BltsBefore + 1);
  EXPECT_TRUE(SamePixels(Fw.Screen(), Before, Width));
  EXPECT_EQ(Fw.ConsoleText(), "");
  EXPECT_EQ(Fw.LiveAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, HotKeyBadgeFailureTest, ::testing::ValuesIn(BadgeFailures),
                         [](const ::testing::TestParamInfo<BadgeFailure> &Info) {
                           return std::string(Info.param.Name);
                         });

// --- called from a keyboard notification ---------------------------------------

// A firmware's own hot-key protocol may call the handler at TPL_NOTIFY, where
// file I/O is not allowed: the handler returns at once and the picture and the
// badge follow from an event at TPL_CALLBACK once the TPL drops.
struct LevelCase {
  const char *Name;
  EFI_TPL Tpl;
  bool Deferred;
};

void PrintTo(const LevelCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const LevelCase LevelCases[] = {
    {"Application", TPL_APPLICATION, false},
    {"Callback", TPL_CALLBACK, false},
    {"Notify", TPL_NOTIFY, true},
};

class HotKeyLevelTest : public HotKeyPressTest, public ::testing::WithParamInterface<LevelCase> {
protected:
  // Presses the hot key twice from GetParam().Tpl; returns the handler's statuses
  // and whether anything was saved or drawn before the TPL dropped.
  struct Outcome {
    EFI_STATUS First, Second;
    bool SavedBeforeReturn, DrawnBeforeReturn;
  };
  Outcome PressTwice() {
    const std::vector<Pixel> Before = Fw.Screen();
    const EFI_TPL Old = BS->RaiseTPL(GetParam().Tpl);
    Outcome Result{};
    Result.First = HotKeyHandler(nullptr);
    Result.Second = HotKeyHandler(nullptr);
    Result.SavedBeforeReturn = !Fw.Volume().FileNames().empty();
    Result.DrawnBeforeReturn = !SamePixels(Fw.Screen(), Before, Width);
    BS->RestoreTPL(Old);
    Queue.RunPending(Fw);
    return Result;
  }
  SignalQueue Queue;
};

TEST_P(HotKeyLevelTest, SavesEveryPressExactlyAndDrawsTheBadgeAfter) {
  const std::vector<Pixel> Before = Fw.Screen();

  const Outcome Result = PressTwice();

  EXPECT_EQ(Result.First, EFI_SUCCESS);
  EXPECT_EQ(Result.Second, EFI_SUCCESS);
  EXPECT_EQ(Result.SavedBeforeReturn, !GetParam().Deferred);
  EXPECT_EQ(Result.DrawnBeforeReturn, !GetParam().Deferred);
  EXPECT_EQ(Fw.Volume().FileNames(), (std::vector<std::string>{NameOf(0), NameOf(1)}));
  ASSERT_NE(File(0), nullptr);
  ASSERT_NE(File(1), nullptr);
  EXPECT_TRUE(*File(0) == Picture(Before));
  EXPECT_TRUE(*File(1) == Picture(WithBadge(Before)));
  EXPECT_TRUE(SamePixels(Fw.Screen(), WithBadge(WithBadge(Before)), Width));
  EXPECT_EQ(Fw.ConsoleText(), "");
  // TearDown: every deferral event closed, no pool memory left.
  EXPECT_EQ(Fw.OpenEventCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, HotKeyLevelTest, ::testing::ValuesIn(LevelCases),
                         [](const ::testing::TestParamInfo<LevelCase> &Info) {
                           return std::string(Info.param.Name);
                         });

struct DeferralFailure {
  const char *Name;
  EFI_TPL Tpl;
  FwCall Call; // FwCall::Stall: nothing injected
  EFI_STATUS Status;
};

void PrintTo(const DeferralFailure &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const DeferralFailure DeferralFailures[] = {
    {"NoEvent", TPL_NOTIFY, FwCall::CreateEvent, EFI_OUT_OF_RESOURCES},
    {"SignalFails", TPL_NOTIFY, FwCall::SignalEvent, EFI_INVALID_PARAMETER},
    // No event may be created up there.
    {"AboveNotify", TPL_HIGH_LEVEL, FwCall::Stall, EFI_UNSUPPORTED},
};

class HotKeyDeferralFailureTest : public HotKeyPressTest,
                                  public ::testing::WithParamInterface<DeferralFailure> {};

TEST_P(HotKeyDeferralFailureTest, ReportsTheStatusAndLeavesNothingBehind) {
  const DeferralFailure &Case = GetParam();
  const std::vector<Pixel> Before = Fw.Screen();
  if (Case.Call != FwCall::Stall) {
    Fw.FailNext(Case.Call, Case.Status);
  }

  const EFI_TPL Old = BS->RaiseTPL(Case.Tpl);
  const EFI_STATUS Status = HotKeyHandler(nullptr);
  BS->RestoreTPL(Old);
  SignalQueue().RunPending(Fw);

  EXPECT_EQ(Status, Case.Status);
  EXPECT_TRUE(Fw.Volume().FileNames().empty());
  EXPECT_TRUE(SamePixels(Fw.Screen(), Before, Width));
  EXPECT_EQ(Fw.OpenEventCount(), 0u);
  EXPECT_EQ(CaptureCounter, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, HotKeyDeferralFailureTest, ::testing::ValuesIn(DeferralFailures),
                         [](const ::testing::TestParamInfo<DeferralFailure> &Info) {
                           return std::string(Info.param.Name);
                         });

} // namespace
