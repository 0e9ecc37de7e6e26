// The TimedCapture driver: what its entry point leaves behind, and what the
// timer does when it fires.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/fake_firmware.h"
#include "timed/timed_capture.h"

namespace {

const std::string AnnouncedText = "ScreenWidth:4,ScreenHeight:2\r\n"
                                  "Start Save Screen,Don't Move Screen\r\n"
                                  "\rSave is ok ,thank you";

class TimedCaptureTest : public FirmwareTest {
protected:
  void SetUp() override {
    Fw.SetScreen(4, 2);
    Fw.AddVolume();
    GraphicsOutput = nullptr;
    CaptureTimerEvent = nullptr;
    CaptureCounter = 0;
  }
  void TearDown() override {
    GraphicsOutput = nullptr;
    CaptureTimerEvent = nullptr;
    FirmwareTest::TearDown();
  }
  EFI_STATUS Load() { return TimedCaptureMain(Fw.ImageHandle(), Fw.SystemTable()); }
};

// --- loading without a timer ----------------------------------------------------

struct LoadCase {
  const char *Name;
  std::function<void(FakeFirmware &)> Arrange;
  EFI_STATUS Status;
  std::string Console;
  size_t EventsCreated; // all closed again
  size_t SetTimerCalls;
};

void PrintTo(const LoadCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const LoadCase LoadCases[] = {
    {"NoGraphicsOutput", [](FakeFirmware &Fw) { Fw.RemoveGop(); }, EFI_UNSUPPORTED,
     "Not Find  Draw Protocol\r\n", 0, 0},
    // Stays loaded, just without a capture.
    {"CreateEventFails",
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::CreateEvent, EFI_OUT_OF_RESOURCES); }, EFI_SUCCESS,
     "", 0, 0},
    {"SetTimerFails", [](FakeFirmware &Fw) { Fw.FailNext(FwCall::SetTimer, EFI_DEVICE_ERROR); },
     EFI_DEVICE_ERROR, "", 1, 1},
};

class TimedCaptureLoadTest : public TimedCaptureTest,
                             public ::testing::WithParamInterface<LoadCase> {};

TEST_P(TimedCaptureLoadTest, LeavesNoEventBehind) {
  const LoadCase &Case = GetParam();
  Case.Arrange(Fw);

  EXPECT_EQ(Load(), Case.Status);

  EXPECT_EQ(Fw.ConsoleText(), Case.Console);
  EXPECT_EQ(Fw.Events().size(), Case.EventsCreated);
  EXPECT_EQ(Fw.OpenEventCount(), 0u);
  EXPECT_EQ(Fw.CallCount(FwCall::SetTimer), Case.SetTimerCalls);
  EXPECT_EQ(CaptureTimerEvent, nullptr);
  EXPECT_EQ(Fw.CallCount(FwCall::Open), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, TimedCaptureLoadTest, ::testing::ValuesIn(LoadCases),
                         [](const ::testing::TestParamInfo<LoadCase> &Info) {
                           return std::string(Info.param.Name);
                         });

TEST_F(TimedCaptureTest, LoadingArmsOneTenSecondTimerAndCapturesNothingYet) {
  ASSERT_EQ(Load(), EFI_SUCCESS);

  EXPECT_EQ(GraphicsOutput, Fw.Gop());
  ASSERT_EQ(Fw.Events().size(), 1u);
  const FakeEvent &Timer = *Fw.Events()[0];
  EXPECT_EQ(Timer.Type, 0x80000200u); // EVT_TIMER | EVT_NOTIFY_SIGNAL
  EXPECT_EQ(Timer.NotifyTpl, 8u);     // TPL_CALLBACK
  EXPECT_EQ(Timer.Notify, &TimerNotify);
  EXPECT_TRUE(Timer.Open);
  EXPECT_TRUE(Timer.Armed);
  EXPECT_EQ(Timer.TimerType, TimerRelative);
  EXPECT_EQ(Timer.TriggerTime, 100000000u); // 10 s in 100 ns units
  EXPECT_EQ(CaptureTimerEvent, Fw.LastEvent());
  EXPECT_EQ(Fw.ConsoleText(), "");
  EXPECT_EQ(Fw.CallCount(FwCall::Open), 0u);
  EXPECT_EQ(Fw.CallCount(FwCall::Blt), 0u);

  // The firmware closes nothing by itself; firing lets the driver do it.
  ASSERT_TRUE(Fw.FireTimer(Fw.LastEvent()));
  EXPECT_FALSE(Timer.Open);
}

// --- the timer fires -----------------------------------------------------------

enum class Picture { Saved, Absent, Empty };

struct FireCase {
  const char *Name;
  std::function<void(FakeFirmware &)> Arrange; // after loading, before firing
  std::string Console;
  Picture File;
};

void PrintTo(const FireCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const FireCase FireCases[] = {
    {"CaptureSucceeds", [](FakeFirmware &) {}, AnnouncedText, Picture::Saved},
    {"NoVolume",
     [](FakeFirmware &Fw) {
       Fw.UninstallProtocol(gEfiSimpleFileSystemProtocolGuid, Fw.Volume().Handle());
     },
     "", Picture::Absent},
    {"ReadOnlyVolume", [](FakeFirmware &Fw) { Fw.Volume().ReadOnly = true; },
     "Create File Error\r\n", Picture::Absent},
    {"ScreenReadFails", [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Blt, EFI_DEVICE_ERROR); },
     "Save Screen Error\r\n", Picture::Empty},
};

class TimedCaptureFireTest : public TimedCaptureTest,
                             public ::testing::WithParamInterface<FireCase> {};

TEST_P(TimedCaptureFireTest, RunsTheAnnouncedCaptureOnceAndClosesTheEvent) {
  const FireCase &Case = GetParam();
  ASSERT_EQ(Load(), EFI_SUCCESS);
  const EFI_EVENT Timer = Fw.LastEvent();
  ASSERT_NE(Timer, nullptr);
  Case.Arrange(Fw);

  ASSERT_TRUE(Fw.FireTimer(Timer));

  EXPECT_EQ(Fw.ConsoleText(), Case.Console);
  const std::vector<UINT8> *File = Fw.Volume().File("SaveScreen.bmp");
  switch (Case.File) {
  case Picture::Saved:
    ASSERT_NE(File, nullptr);
    EXPECT_EQ(*File, reference::File(Fw.Screen(), 4, 2));
    break;
  case Picture::Absent:
    EXPECT_EQ(File, nullptr);
    break;
  case Picture::Empty:
    ASSERT_NE(File, nullptr);
    EXPECT_TRUE(File->empty());
    break;
  }
  EXPECT_EQ(Fw.Volume().FileNames().size(), Case.File == Picture::Absent ? 0u : 1u);
  EXPECT_EQ(CaptureCounter, 0u); // the Announced variant has one fixed name

  const FakeEvent &Record = *Fw.FindEvent(Timer);
  EXPECT_EQ(Record.Notifications, 1u);
  EXPECT_FALSE(Record.Open);
  EXPECT_EQ(CaptureTimerEvent, nullptr);
  // Closed once, after the capture is over.
  const std::vector<std::string> Log = Fw.CallLog();
  EXPECT_EQ(Fw.CallCount(FwCall::CloseEvent), 1u);
  EXPECT_EQ(Log.back(), "CloseEvent");
}

INSTANTIATE_TEST_SUITE_P(Table, TimedCaptureFireTest, ::testing::ValuesIn(FireCases),
                         [](const ::testing::TestParamInfo<FireCase> &Info) {
                           return std::string(Info.param.Name);
                         });

} // namespace
