// CaptureScreenToBmp against the fake firmware: every failure on the way, the
// firmware calls of a good capture, file names, older files, pool use.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/fake_firmware.h"

namespace {

const std::string AnnouncedLines =
    "ScreenWidth:5,ScreenHeight:3\r\nStart Save Screen,Don't Move Screen\r\n";

std::string FileNameOf(CaptureVariant Variant, UINT64 Number = 0) {
  if (Variant == CaptureVariant::Announced) {
    return "SaveScreen.bmp";
  }
  return "SaveScreen" + std::string(Number < 10 ? "0" : "") + std::to_string(Number) + ".bmp";
}

std::vector<UINT8> OldContent(size_t Bytes) {
  std::vector<UINT8> Old(Bytes);
  for (size_t I = 0; I < Bytes; ++I) {
    Old[I] = static_cast<UINT8>(I * 31 + 7);
  }
  return Old;
}

class CaptureTest : public FirmwareTest {
protected:
  void SetUp() override {
    UseScreen(5, 3); // 15 pixel bytes + 1 zero per row
    Fw.AddVolume();
    CaptureCounter = 0;
  }
  void TearDown() override {
    GraphicsOutput = nullptr;
    FirmwareTest::TearDown();
  }
  void UseScreen(UINT32 Width, UINT32 Height) {
    Fw.SetScreen(Width, Height);
    GraphicsOutput = Fw.Gop();
  }
  // The file's bytes; a missing file fails the test.
  std::vector<UINT8> FileBytes(const std::string &Name, size_t Volume = 0) {
    const std::vector<UINT8> *File = Fw.Volume(Volume).File(Name);
    if (File == nullptr) {
      ADD_FAILURE() << Name << " is missing";
      return {};
    }
    return *File;
  }
  std::vector<UINT8> ExpectedFile() {
    return reference::File(Fw.Screen(), Fw.ScreenWidth(), Fw.ScreenHeight());
  }
};

// --- failures ------------------------------------------------------------

enum class FileAfter {
  Absent,     // no file at all
  Empty,      // created, nothing written
  Untouched,  // the older file of that name as it was
  HeaderOnly, // the 54 header bytes
};

struct FailureCase {
  const char *Name;
  CaptureVariant Variant;
  bool OlderFile; // a 300-byte file of the same name is there before
  std::function<void(FakeFirmware &)> Arrange;
  std::string Console;
  EFI_STATUS Status;
  UINT64 CounterAfter;
  FileAfter File;
  size_t ScreenReads; // Blt calls
};

void PrintTo(const FailureCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const CaptureVariant Numbered = CaptureVariant::Numbered;
const CaptureVariant Announced = CaptureVariant::Announced;

const FailureCase FailureCases[] = {
    {"LocateHandleBufferFails", Numbered, false,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::LocateHandleBuffer, EFI_DEVICE_ERROR); }, "",
     EFI_DEVICE_ERROR, 0, FileAfter::Absent, 0},
    {"HandleProtocolFails", Numbered, false,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::HandleProtocol, EFI_ACCESS_DENIED); }, "",
     EFI_ACCESS_DENIED, 0, FileAfter::Absent, 0},
    {"OpenVolumeFails", Numbered, true,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::OpenVolume, EFI_MEDIA_CHANGED); }, "",
     EFI_MEDIA_CHANGED, 0, FileAfter::Untouched, 0},
    {"NoVolume", Numbered, false,
     [](FakeFirmware &Fw) {
       Fw.UninstallProtocol(gEfiSimpleFileSystemProtocolGuid, Fw.Volume().Handle());
     },
     "", EFI_NOT_FOUND, 0, FileAfter::Absent, 0},
    {"ReadOnlyVolume", Numbered, false, [](FakeFirmware &Fw) { Fw.Volume().ReadOnly = true; },
     "Create File Error\r\n", EFI_WRITE_PROTECTED, 1, FileAfter::Absent, 0},
    {"ReadOnlyVolumeOlderFile", Numbered, true,
     [](FakeFirmware &Fw) { Fw.Volume().ReadOnly = true; }, "Create File Error\r\n",
     EFI_WRITE_PROTECTED, 1, FileAfter::Untouched, 0},
    {"NoMemoryForScreenBlock", Numbered, false, [](FakeFirmware &Fw) { Fw.FailAllocation(1); }, "",
     EFI_OUT_OF_RESOURCES, 1, FileAfter::Empty, 0},
    {"NoMemoryForScreenBlockOlderFile", Numbered, true,
     [](FakeFirmware &Fw) { Fw.FailAllocation(1); }, "", EFI_OUT_OF_RESOURCES, 1,
     FileAfter::Untouched, 0},
    {"ScreenTooLargeForBmp", Numbered, false,
     [](FakeFirmware &Fw) {
       Fw.Gop()->Mode->Info->HorizontalResolution = 0x10000;
       Fw.Gop()->Mode->Info->VerticalResolution = 0x10000;
     },
     "", EFI_OUT_OF_RESOURCES, 1, FileAfter::Empty, 0},
    {"BltFails", Numbered, false,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Blt, EFI_DEVICE_ERROR); }, "Save Screen Error\r\n",
     EFI_DEVICE_ERROR, 1, FileAfter::Empty, 1},
    // The progress lines come only after the screen was read.
    {"BltFailsAnnounced", Announced, true,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Blt, EFI_DEVICE_ERROR); }, "Save Screen Error\r\n",
     EFI_DEVICE_ERROR, 0, FileAfter::Untouched, 1},
    // Rows are packed before the header is written.
    {"NoMemoryForRowsOlderFile", Numbered, true, [](FakeFirmware &Fw) { Fw.FailAllocation(2); }, "",
     EFI_OUT_OF_RESOURCES, 1, FileAfter::Untouched, 1},
    {"NoMemoryForRowsAnnounced", Announced, true, [](FakeFirmware &Fw) { Fw.FailAllocation(2); },
     AnnouncedLines, EFI_OUT_OF_RESOURCES, 0, FileAfter::Untouched, 1},
    {"HeaderWriteFailsVolumeFull", Numbered, false,
     [](FakeFirmware &Fw) { Fw.Volume().Capacity = 0; },
     "Write Bmp Header Error\r\nStatus:Volume Full\r\n", EFI_VOLUME_FULL, 1, FileAfter::Empty, 1},
    {"HeaderWriteFailsDeviceError", Numbered, true,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Write, EFI_DEVICE_ERROR); },
     "Write Bmp Header Error\r\nStatus:Device Error\r\n", EFI_DEVICE_ERROR, 1, FileAfter::Untouched,
     1},
    {"DataWriteFails", Numbered, false, [](FakeFirmware &Fw) { Fw.Volume().Capacity = 54; },
     "Write Bmp Data Error\r\n", EFI_VOLUME_FULL, 1, FileAfter::HeaderOnly, 1},
    {"DataWriteFailsAnnounced", Announced, false,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Write, EFI_DEVICE_ERROR, 1); },
     AnnouncedLines + "Write Bmp Data Error\r\n", EFI_DEVICE_ERROR, 0, FileAfter::HeaderOnly, 1},
};

class CaptureFailureTest : public CaptureTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CaptureFailureTest, PrintsItsMessageReturnsTheStatusAndReleasesEverything) {
  const FailureCase &Case = GetParam();
  const std::string Name = FileNameOf(Case.Variant);
  const std::vector<UINT8> Old = OldContent(300);
  if (Case.OlderFile) {
    Fw.Volume().PutFile(Name, Old);
  }
  Case.Arrange(Fw);

  EXPECT_EQ(CaptureScreenToBmp(Case.Variant), Case.Status);

  EXPECT_EQ(Fw.ConsoleText(), Case.Console);
  EXPECT_EQ(CaptureCounter, Case.CounterAfter);
  EXPECT_EQ(Fw.CallCount(FwCall::Blt), Case.ScreenReads);
  const std::vector<UINT8> *File = Fw.Volume().File(Name);
  const std::vector<std::string> Files = Fw.Volume().FileNames();
  switch (Case.File) {
  case FileAfter::Absent:
    EXPECT_TRUE(Files.empty()) << Files.front();
    break;
  case FileAfter::Empty:
    ASSERT_NE(File, nullptr);
    EXPECT_TRUE(File->empty()) << File->size() << " bytes";
    break;
  case FileAfter::Untouched:
    ASSERT_NE(File, nullptr);
    EXPECT_EQ(*File, Old);
    break;
  case FileAfter::HeaderOnly:
    ASSERT_NE(File, nullptr);
    EXPECT_EQ(*File, reference::Header(5, 3));
    break;
  }
  if (Case.File != FileAfter::Absent) {
    EXPECT_EQ(Files, std::vector<std::string>{Name});
  }
  // TearDown: all pool freed, all files closed.
}

INSTANTIATE_TEST_SUITE_P(Table, CaptureFailureTest, ::testing::ValuesIn(FailureCases),
                         [](const ::testing::TestParamInfo<FailureCase> &Info) {
                           return std::string(Info.param.Name);
                         });

// --- a good capture --------------------------------------------------------

struct GoodCase {
  CaptureVariant Variant;
  UINT32 Width;
  UINT32 Height;
};

void PrintTo(const GoodCase &Case, std::ostream *Out) {
  *Out << (Case.Variant == Numbered ? "Numbered " : "Announced ") << Case.Width << "x"
       << Case.Height;
}

class CaptureGoodTest : public CaptureTest, public ::testing::WithParamInterface<GoodCase> {};

TEST_P(CaptureGoodTest, SavesTheWholeScreenWithTheExpectedFirmwareCalls) {
  const GoodCase &Case = GetParam();
  UseScreen(Case.Width, Case.Height);
  const std::string Name = FileNameOf(Case.Variant);
  const std::string Size = std::to_string(Case.Width) + "x" + std::to_string(Case.Height);
  const UINT64 RowsBytes = reference::Stride(Case.Width) * Case.Height;
  Fw.ResetPeak();

  ASSERT_EQ(CaptureScreenToBmp(Case.Variant), EFI_SUCCESS);

  EXPECT_EQ(FileBytes(Name), ExpectedFile());
  EXPECT_EQ(Fw.Volume().FileNames(), std::vector<std::string>{Name});
  EXPECT_EQ(CaptureCounter, Case.Variant == Numbered ? 1u : 0u);

  std::vector<std::string> Expected = {
      "LocateHandleBuffer(SimpleFileSystem)",
      "HandleProtocol(SimpleFileSystem)",
      "OpenVolume",
      "Open(" + Name + ")",
      "Blt(VideoToBltBuffer)",
  };
  const std::string Lines = "ScreenWidth:" + std::to_string(Case.Width) +
                            ",ScreenHeight:" + std::to_string(Case.Height) +
                            "\r\nStart Save Screen,Don't Move Screen\r\n";
  if (Case.Variant == Announced) {
    Expected.push_back("SetAttribute(0x0F)");
    Expected.push_back("OutputString(ScreenWidth:" + std::to_string(Case.Width) +
                       ",ScreenHeight:" + std::to_string(Case.Height) + "\r\n)");
    Expected.push_back("OutputString(Start Save Screen,Don't Move Screen\r\n)");
  }
  Expected.push_back("Write(" + Name + ",54)");
  Expected.push_back("Write(" + Name + "," + std::to_string(RowsBytes) + ")");
  Expected.push_back("Close(" + Name + ")");
  if (Case.Variant == Announced) {
    Expected.push_back("OutputString(\rSave is ok ,thank you)");
  }
  Expected.push_back("Close(\\)");
  EXPECT_EQ(Fw.CallLog({FwCall::LocateHandleBuffer, FwCall::HandleProtocol, FwCall::OpenVolume,
                        FwCall::Open, FwCall::Blt, FwCall::SetAttribute, FwCall::OutputString,
                        FwCall::Write, FwCall::Close}),
            Expected);

  if (Case.Variant == Announced) {
    const std::string All = Lines + "\rSave is ok ,thank you";
    EXPECT_EQ(Fw.ConsoleText(), All);
    ASSERT_EQ(Fw.ConsoleSegments().size(), 1u);
    EXPECT_EQ(Fw.ConsoleSegments()[0].Attribute, 0x0Fu);
  } else {
    EXPECT_EQ(Fw.ConsoleText(), "");
  }

  ASSERT_EQ(Fw.Opens().size(), 1u);
  EXPECT_EQ(Fw.Opens()[0].Mode, 0x8000000000000003u);
  EXPECT_EQ(Fw.Opens()[0].Attributes, 0x20u);

  ASSERT_EQ(Fw.Blts().size(), 1u);
  const BltRecord &Blt = Fw.Blts()[0];
  EXPECT_EQ(Blt.Operation, EfiBltVideoToBltBuffer);
  EXPECT_EQ(Blt.SourceX, 0u);
  EXPECT_EQ(Blt.SourceY, 0u);
  EXPECT_EQ(Blt.DestinationX, 0u);
  EXPECT_EQ(Blt.DestinationY, 0u);
  EXPECT_EQ(Blt.Width, Case.Width);
  EXPECT_EQ(Blt.Height, Case.Height);
  EXPECT_EQ(Blt.Delta, UINTN{Case.Width} * 4);

  // The screen block and the rows, plus small change (handle list, file info).
  const UINT64 Block = UINT64{Case.Width} * Case.Height * 4;
  EXPECT_LE(Fw.PeakBytes(), Block + RowsBytes + 512) << Size;
}

INSTANTIATE_TEST_SUITE_P(Table, CaptureGoodTest,
                         ::testing::Values(GoodCase{Numbered, 1, 1}, GoodCase{Numbered, 4, 2},
                                           GoodCase{Announced, 5, 3}, GoodCase{Numbered, 320, 200},
                                           GoodCase{Announced, 640, 480}));

TEST_F(CaptureTest, NumberedNamesCountUpAndTheAnnouncedNameStaysTheSame) {
  UseScreen(1, 1);
  std::vector<std::string> Expected;
  for (UINT64 Number = 0; Number <= 100; ++Number) {
    ASSERT_EQ(CaptureScreenToBmp(CaptureVariant::Numbered), EFI_SUCCESS) << Number;
    Expected.push_back(FileNameOf(CaptureVariant::Numbered, Number));
  }
  EXPECT_EQ(Expected[0], "SaveScreen00.bmp");
  EXPECT_EQ(Expected[100], "SaveScreen100.bmp");
  EXPECT_EQ(CaptureCounter, 101u);
  for (int Time = 0; Time < 2; ++Time) {
    ASSERT_EQ(CaptureScreenToBmp(CaptureVariant::Announced), EFI_SUCCESS);
    Expected.push_back("SaveScreen.bmp");
  }
  EXPECT_EQ(CaptureCounter, 101u);

  std::vector<std::string> Opened;
  for (const OpenRecord &Open : Fw.Opens()) {
    Opened.push_back(Open.Name);
  }
  EXPECT_EQ(Opened, Expected);
  EXPECT_EQ(Fw.Volume().FileNames().size(), 102u);
  EXPECT_EQ(FileBytes("SaveScreen100.bmp"), ExpectedFile());
}

TEST_F(CaptureTest, SavesOnTheFirstVolumeListed) {
  FakeVolume &Second = Fw.AddVolume();
  ASSERT_EQ(CaptureScreenToBmp(CaptureVariant::Numbered), EFI_SUCCESS);
  EXPECT_EQ(FileBytes("SaveScreen00.bmp", 0), ExpectedFile());
  EXPECT_TRUE(Second.FileNames().empty());
}

// --- over an older file of the same name ---------------------------------------

struct OlderFileCase {
  const char *Name;
  CaptureVariant Variant;
  size_t OldBytes;
  std::function<void(FakeFirmware &)> Arrange;
  size_t SetInfoCalls;
  bool Cut; // the file ends up exactly bfSize long
};

void PrintTo(const OlderFileCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const OlderFileCase OlderFileCases[] = {
    {"LongerFileIsCut", Numbered, 5000, [](FakeFirmware &) {}, 1, true},
    {"LongerFileIsCutAnnounced", Announced, 5000, [](FakeFirmware &) {}, 1, true},
    {"ShorterFileIsOverwritten", Numbered, 10, [](FakeFirmware &) {}, 0, true},
    {"SameLengthFileIsOverwritten", Numbered, 102, [](FakeFirmware &) {}, 0, true},
    // Only the cut fails: the picture is complete, stale bytes stay behind it.
    {"CutFails", Numbered, 5000,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::SetInfo, EFI_DEVICE_ERROR); }, 1, false},
    {"CutFailsAnnounced", Announced, 5000,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::SetInfo, EFI_WRITE_PROTECTED); }, 1, false},
    {"FileInfoSizeUnreadable", Numbered, 5000,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::GetInfo, EFI_DEVICE_ERROR); }, 0, false},
    {"FileInfoUnreadable", Numbered, 5000,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::GetInfo, EFI_DEVICE_ERROR, 1); }, 0, false},
    {"NoMemoryForFileInfo", Numbered, 5000, [](FakeFirmware &Fw) { Fw.FailAllocation(3); }, 0,
     false},
};

class CaptureOlderFileTest : public CaptureTest,
                             public ::testing::WithParamInterface<OlderFileCase> {};

TEST_P(CaptureOlderFileTest, EndsWithTheCompletePicture) {
  const OlderFileCase &Case = GetParam();
  const std::string Name = FileNameOf(Case.Variant);
  const std::vector<UINT8> Old = OldContent(Case.OldBytes);
  Fw.Volume().PutFile(Name, Old);
  Case.Arrange(Fw);

  ASSERT_EQ(CaptureScreenToBmp(Case.Variant), EFI_SUCCESS);

  const std::vector<UINT8> Picture = ExpectedFile();
  ASSERT_EQ(Picture.size(), 102u);
  const std::vector<UINT8> File = FileBytes(Name);
  if (Case.Cut) {
    EXPECT_EQ(File, Picture);
  } else {
    ASSERT_EQ(File.size(), Case.OldBytes);
    EXPECT_EQ(std::vector<UINT8>(File.begin(), File.begin() + 102), Picture);
    EXPECT_EQ(std::vector<UINT8>(File.begin() + 102, File.end()),
              std::vector<UINT8>(Old.begin() + 102, Old.end()));
  }
  EXPECT_EQ(Fw.CallCount(FwCall::SetInfo), Case.SetInfoCalls);
  EXPECT_EQ(Fw.ConsoleText(),
            Case.Variant == Announced ? AnnouncedLines + "\rSave is ok ,thank you" : "");
}

INSTANTIATE_TEST_SUITE_P(Table, CaptureOlderFileTest, ::testing::ValuesIn(OlderFileCases),
                         [](const ::testing::TestParamInfo<OlderFileCase> &Info) {
                           return std::string(Info.param.Name);
                         });

} // namespace
