// CaptureLoader against the fake firmware: what it starts from the stick, what
// it says, the countdown, finding and opening the setup, and that every path
// returns holding nothing and writing no variable (SetVariable is a slot the
// fake leaves unimplemented, so a call fails the test).
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "loader/capture_loader.h"
#include "tests/host/device_path_builder.h"
#include "tests/host/fake_firmware.h"

namespace {

using dp::Bytes;

// Written out here rather than taken from the headers.
const EFI_GUID HotKeyGuid = {
    0xF1E48287, 0x3FE1, 0x4535, {0x89, 0xAB, 0x48, 0xD6, 0xC3, 0xDA, 0x27, 0x59}};
const EFI_GUID GlobalVariable = {
    0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};

constexpr UINT64 Second = 10000000; // 100 ns units

const std::string UiAppText = FakeFirmware::DevicePathText(dp::AsPath(UiAppPath));
const Bytes UiAppOption = dp::LoadOption(0x109, dp::Text16(u"UiApp"), UiAppPath);
const Bytes ShellOption = dp::LoadOption(1, dp::Text16(u"EFI Internal Shell"), ShellPath);

Bytes Order(std::initializer_list<UINT16> Numbers) {
  Bytes Out;
  for (UINT16 Number : Numbers) {
    dp::PutLe(Out, Number, 2);
  }
  return Out;
}

const std::string Header = "Screen capture stick (x64)";
const std::string StartedProvider = "Started HotKeyProvider.efi";
const std::string StartedCapture = "Started HotKeyCapture.efi";
const std::string VolumeIs = "Pictures go to the first file-system volume: ";
const std::string SavesThere =
    "Ctrl+Alt+F9 saves the screen there as SaveScreen00.bmp, SaveScreen01.bmp, ...";
const std::string Countdown =
    "Opening the firmware setup in 3 s; any key returns to the firmware instead.";
const std::string OpeningUiApp = "Opening the firmware setup: UiApp";
const std::string NoSetup = "No firmware setup found among the boot options.";
const std::string Returning = "Back to the firmware; Ctrl+Alt+F9 stays active until an OS starts.";
const std::string GivingUp = "Returning to the firmware.";
const std::string ProviderPresent = "Hot-key protocol present: HotKeyProvider.efi not needed";
const std::string CaptureRunning = "HotKeyCapture.efi already running";
const std::string ProviderRunning = "HotKeyProvider.efi already running";

// The firmware's device path to text converter: the fake's text in pool
// memory, nullptr when the allocation fails.
CHAR16 *EFIAPI ConvertPathToText(const EFI_DEVICE_PATH *Path, BOOLEAN, BOOLEAN) {
  const std::u16string Text = ToUtf16(FakeFirmware::DevicePathText(Path));
  VOID *Buffer = nullptr;
  const UINTN Bytes = (Text.size() + 1) * sizeof(CHAR16);
  if (EFI_ERROR(BS->AllocatePool(EfiBootServicesData, Bytes, &Buffer))) {
    return nullptr;
  }
  std::memcpy(Buffer, Text.c_str(), Bytes);
  return static_cast<CHAR16 *>(Buffer);
}

// A firmware with the stick as its only volume, the loader running from
// \EFI\BOOT\BOOTX64.EFI on it, the two drivers beside it in x64\, and OVMF's
// boot options: BootOrder 0001 (the shell), 0000 (UiApp).
class LoaderTest : public FirmwareTest {
public:
  using FirmwareTest::Fw; // for the case tables
  void SetUp() override {
    Stick = &Fw.AddVolume();
    Stick->Label = "CAPTURE";
    Fw.InstallProtocol(gEfiDevicePathProtocolGuid, StickPath.data(), Stick->Handle());
    PathToText.ConvertDevicePathToText = &ConvertPathToText;
    PathToTextHandle = Fw.InstallProtocol(gEfiDevicePathToTextProtocolGuid, &PathToText);
    Fw.RunningImage().DeviceHandle = Stick->Handle();
    Fw.RunningImage().FilePath = const_cast<EFI_DEVICE_PATH *>(dp::AsPath(OwnFile));

    Provider.Start = [this](EFI_HANDLE) {
      ++ProviderStarts;
      HotKeys = Fw.InstallProtocol(HotKeyGuid, &HotKeyInterface);
      return EFI_SUCCESS;
    };
    Provider.Unload = [this] {
      ++ProviderUnloads;
      Fw.UninstallProtocol(HotKeyGuid, HotKeys);
      return EFI_SUCCESS;
    };
    Capture.Start = [this](EFI_HANDLE) {
      ++CaptureStarts;
      return EFI_SUCCESS;
    };
    Setup.Application = true;
    Setup.Start = [this](EFI_HANDLE) {
      SetupStartedAt.push_back(Fw.Now());
      return EFI_SUCCESS;
    };
    Register();

    Fw.PutVariable("BootOrder", GlobalVariable, Order({1, 0}));
    Fw.PutVariable("Boot0000", GlobalVariable, UiAppOption);
    Fw.PutVariable("Boot0001", GlobalVariable, ShellOption);
  }

  // Hands the image files as they are now to the firmware.
  void Register() {
    Fw.AddImageFile(ProviderText, Provider);
    Fw.AddImageFile(CaptureText, Capture);
    Fw.AddImageFile(UiAppText, Setup);
  }

  EFI_STATUS Run() { return CaptureLoaderMain(Fw.ImageHandle()); }

  std::vector<std::string> Lines() const {
    std::vector<std::string> Out;
    const std::string &Text = Fw.ConsoleText();
    size_t Start = 0;
    for (size_t End; (End = Text.find("\r\n", Start)) != std::string::npos; Start = End + 2) {
      Out.push_back(Text.substr(Start, End - Start));
    }
    if (Start != Text.size()) {
      Out.push_back(Text.substr(Start) + "<no line end>");
    }
    return Out;
  }

  // Paths of the images UnloadImage was called for, in order.
  std::vector<std::string> Unloaded() const {
    std::vector<std::string> Out;
    for (const FwCallRecord &Call : Fw.Calls()) {
      if (Call.Call == FwCall::UnloadImage) {
        Out.push_back(Call.Detail);
      }
    }
    return Out;
  }

  Bytes StickPath = dp::Join({dp::PciRoot(0), dp::Pci(2, 0), dp::End()});
  const std::string StickText = FakeFirmware::DevicePathText(dp::AsPath(StickPath));
  const std::string Volume = VolumeIs + StickText + " \"CAPTURE\"";
  const std::string ProviderText = StickText + "/\\EFI\\BOOT\\x64\\HotKeyProvider.efi";
  const std::string CaptureText = StickText + "/\\EFI\\BOOT\\x64\\HotKeyCapture.efi";
  const Bytes OwnFile = dp::Join({dp::File(u"\\EFI\\BOOT\\BOOTX64.EFI"), dp::End()});
  FakeVolume *Stick = nullptr;
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL PathToText{};
  EFI_HANDLE PathToTextHandle = nullptr;
  FakeFirmware::ImageFile Provider, Capture, Setup;
  int HotKeyInterface = 0;
  EFI_HANDLE HotKeys = nullptr;
  int ProviderStarts = 0;
  int ProviderUnloads = 0;
  int CaptureStarts = 0;
  std::vector<UINT64> SetupStartedAt;
};

// --- the way it is meant to go -----------------------------------------------

TEST_F(LoaderTest, StartsBothDriversSaysWhereAndOpensTheSetupAfterThreeSeconds) {
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Header, StartedProvider, StartedCapture, Volume,
                                               SavesThere, Countdown, OpeningUiApp, Returning}));
  // The drivers stay; the setup application was unloaded by the firmware.
  EXPECT_EQ(Fw.ImagesLoadedNow(), (std::vector<std::string>{ProviderText, CaptureText}));
  EXPECT_EQ(
      Fw.CallLog({FwCall::LoadImage}),
      (std::vector<std::string>{"LoadImage(" + ProviderText + ")", "LoadImage(" + CaptureText + ")",
                                "LoadImage(" + UiAppText + ")"}));
  EXPECT_EQ(SetupStartedAt, std::vector<UINT64>{3 * Second});
  EXPECT_EQ(Fw.CallLog({FwCall::SetTimer}),
            std::vector<std::string>{"SetTimer(Relative,30000000)"});
  EXPECT_TRUE(Unloaded().empty());
}

TEST_F(LoaderTest, LeavesTheProviderOutWhenTheHotKeyProtocolIsThere) {
  int Firmware = 0;
  Fw.InstallProtocol(HotKeyGuid, &Firmware);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         Header, "Hot-key protocol present: HotKeyProvider.efi not needed",
                         StartedCapture, Volume, SavesThere, Countdown, OpeningUiApp, Returning}));
  EXPECT_EQ(ProviderStarts, 0);
  EXPECT_EQ(Fw.ImagesLoadedNow(), std::vector<std::string>{CaptureText});
}

// --- a key instead of the setup ---------------------------------------------------

TEST_F(LoaderTest, AKeyDuringTheCountdownReturnsAtOnceAndIsDrained) {
  Fw.QueueKey({SCAN_NULL, u'x'}, Second); // typed one second into the countdown
  Fw.QueueKey({SCAN_NULL, u'y'}, Second);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Header, StartedProvider, StartedCapture, Volume,
                                               SavesThere, Countdown, Returning}));
  EXPECT_TRUE(SetupStartedAt.empty());
  EXPECT_EQ(Fw.CallCount(FwCall::LoadImage), 2u);
  EXPECT_EQ(Fw.Now(), Second);
  EXPECT_EQ(Fw.PendingKeys(), 0u);
  EXPECT_EQ(Fw.ImagesLoadedNow(), (std::vector<std::string>{ProviderText, CaptureText}));
}

TEST_F(LoaderTest, KeysTypedBeforeTheCountdownDoNotCount) {
  Fw.QueueKey({SCAN_ESC, 0});
  Fw.QueueKey({SCAN_NULL, u'a'});
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(SetupStartedAt, std::vector<UINT64>{3 * Second});
  EXPECT_EQ(Fw.PendingKeys(), 0u);
}

// --- an image that does not start ---------------------------------------------------

struct StartFailure {
  const char *Name;
  std::function<void(LoaderTest &)> Arrange;
  EFI_STATUS Status;
  std::vector<std::string> Lines;    // between the header and "Returning to the firmware."
  std::vector<std::string> Unloaded; // "provider"/"capture", in UnloadImage order
  int ProviderUnloads;               // calls of the started provider's unload function
};

std::ostream &operator<<(std::ostream &Out, const StartFailure &Case) {
  return Out << Case.Name;
}

class LoaderStartFailureTest : public LoaderTest,
                               public ::testing::WithParamInterface<StartFailure> {};

TEST_P(LoaderStartFailureTest, SaysWhyUnloadsWhatItLoadedAndReturnsTheStatus) {
  const StartFailure &Case = GetParam();
  Case.Arrange(*this);
  EXPECT_EQ(Run(), Case.Status);

  std::vector<std::string> Expected{Header};
  Expected.insert(Expected.end(), Case.Lines.begin(), Case.Lines.end());
  Expected.push_back(GivingUp);
  EXPECT_EQ(Lines(), Expected);

  std::vector<std::string> ExpectedUnloads;
  for (const std::string &Which : Case.Unloaded) {
    ExpectedUnloads.push_back(Which == "provider" ? ProviderText : CaptureText);
  }
  EXPECT_EQ(Unloaded(), ExpectedUnloads);
  EXPECT_EQ(ProviderUnloads, Case.ProviderUnloads);
  for (const std::string &Path : Fw.ImagesLoadedNow()) {
    EXPECT_NE(Path, ProviderText);
    EXPECT_NE(Path, CaptureText);
  }
  // No setup, no waiting for a key: a pause of 3 s to read the message at most.
  EXPECT_TRUE(SetupStartedAt.empty());
  EXPECT_LE(Fw.Now(), 3 * Second);
}

const std::string CouldNotStartProvider = "Could not start HotKeyProvider.efi: ";
const std::string CouldNotStartCapture = "Could not start HotKeyCapture.efi: ";

const StartFailure StartFailures[] = {
    {"ProviderMissing",
     [](LoaderTest &T) { T.Provider.LoadStatus = EFI_NOT_FOUND, T.Register(); },
     EFI_NOT_FOUND,
     {CouldNotStartProvider + "Not Found"},
     {},
     0},
    {"ProviderRefusedBySecureBoot",
     [](LoaderTest &T) { T.Provider.LoadStatus = EFI_SECURITY_VIOLATION, T.Register(); },
     EFI_SECURITY_VIOLATION,
     {CouldNotStartProvider + "Security Policy Violation"},
     {"provider"},
     0},
    {"ProviderFailsToStart",
     [](LoaderTest &T) {
       T.Provider.Start = [](EFI_HANDLE) { return EFI_NOT_READY; };
       T.Provider.ExitData = "no extended text input";
       T.Register();
     },
     EFI_NOT_READY,
     {CouldNotStartProvider + "Not Ready"},
     {"provider"},
     0},
    {"LoaderPathUnknown",
     [](LoaderTest &T) { T.Fw.RunningImage().FilePath = nullptr; },
     EFI_NOT_FOUND,
     {CouldNotStartProvider + "Not Found"},
     {},
     0},
    {"CaptureMissing",
     [](LoaderTest &T) { T.Capture.LoadStatus = EFI_NOT_FOUND, T.Register(); },
     EFI_NOT_FOUND,
     {StartedProvider, CouldNotStartCapture + "Not Found"},
     {"provider"},
     1},
    {"CaptureRefusedBySecureBoot",
     [](LoaderTest &T) { T.Capture.LoadStatus = EFI_SECURITY_VIOLATION, T.Register(); },
     EFI_SECURITY_VIOLATION,
     {StartedProvider, CouldNotStartCapture + "Security Policy Violation"},
     {"capture", "provider"},
     1},
    {"CaptureFailsToStart",
     [](LoaderTest &T) {
       T.Capture.Start = [](EFI_HANDLE) { return EFI_UNSUPPORTED; };
       T.Register();
     },
     EFI_UNSUPPORTED,
     {StartedProvider, CouldNotStartCapture + "Unsupported"},
     {"capture", "provider"},
     1},
    {"CaptureFailsBesideTheFirmwaresProtocol",
     [](LoaderTest &T) {
       T.Fw.InstallProtocol(HotKeyGuid, &T.HotKeyInterface);
       T.Capture.Start = [](EFI_HANDLE) { return EFI_UNSUPPORTED; };
       T.Register();
     },
     EFI_UNSUPPORTED,
     {"Hot-key protocol present: HotKeyProvider.efi not needed",
      CouldNotStartCapture + "Unsupported"},
     {"capture"},
     0},
};

INSTANTIATE_TEST_SUITE_P(Images, LoaderStartFailureTest, ::testing::ValuesIn(StartFailures),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// --- a second run in the same boot ---------------------------------------------------

// The boot manager may run the stick's option again after the loader returned
// (or the user picks it twice): the drivers of the first run are resident.
TEST_F(LoaderTest, ASecondRunStartsNoDriverAgainAndGoesOn) {
  ASSERT_EQ(Run(), EFI_SUCCESS);
  const size_t FirstRunLines = Lines().size();
  Fw.ClearCallLog();
  EXPECT_EQ(Run(), EFI_SUCCESS);
  const std::vector<std::string> All = Lines();
  EXPECT_EQ(std::vector<std::string>(All.begin() + FirstRunLines, All.end()),
            (std::vector<std::string>{Header, ProviderPresent, CaptureRunning, Volume, SavesThere,
                                      Countdown, OpeningUiApp, Returning}));
  EXPECT_EQ(Fw.CallLog({FwCall::LoadImage}),
            std::vector<std::string>{"LoadImage(" + UiAppText + ")"});
  EXPECT_EQ(ProviderStarts, 1);
  EXPECT_EQ(CaptureStarts, 1);
  EXPECT_EQ(Fw.ImagesLoadedNow(), (std::vector<std::string>{ProviderText, CaptureText}));
  EXPECT_TRUE(Unloaded().empty());
  EXPECT_EQ(SetupStartedAt.size(), 2u);
}

// An image resident before the loader runs, with the LoadedImage protocol
// the firmware would have given it.
struct ResidentCase {
  const char *Name;
  const char *Image;               // "provider" or "capture"
  const char *Device;              // "stick", "other" (another volume) or "none"
  std::function<Bytes()> FilePath; // empty: no file path at all
  std::vector<std::string> Lines;  // between the header and the volume line
  std::vector<std::string> Loaded; // "provider"/"capture": loaded by the loader
};

std::ostream &operator<<(std::ostream &Out, const ResidentCase &Case) {
  return Out << Case.Name;
}

class LoaderResidentImageTest : public LoaderTest,
                                public ::testing::WithParamInterface<ResidentCase> {
public:
  // Here, not in the test body: the firmware keeps pointers to them.
  EFI_LOADED_IMAGE_PROTOCOL Resident{};
  Bytes FilePath;
  Bytes OtherPath = dp::Join({dp::PciRoot(0), dp::Pci(3, 0), dp::End()});
};

TEST_P(LoaderResidentImageTest, StartsOnlyWhatIsNotResidentFromTheSamePlace) {
  const ResidentCase &Case = GetParam();
  FakeVolume &Other = Fw.AddVolume();
  Fw.InstallProtocol(gEfiDevicePathProtocolGuid, OtherPath.data(), Other.Handle());
  const std::string Device = Case.Device;
  Resident.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  Resident.DeviceHandle = Device == "stick"   ? Stick->Handle()
                          : Device == "other" ? Other.Handle()
                                              : nullptr;
  FilePath = Case.FilePath ? Case.FilePath() : Bytes{};
  Resident.FilePath =
      FilePath.empty() ? nullptr : reinterpret_cast<EFI_DEVICE_PATH *>(FilePath.data());
  Fw.InstallProtocol(gEfiLoadedImageProtocolGuid, &Resident);
  if (std::string(Case.Image) == "capture") {
    Fw.InstallProtocol(HotKeyGuid, &HotKeyInterface); // as the resident provider's
  }

  EXPECT_EQ(Run(), EFI_SUCCESS);
  std::vector<std::string> Expected{Header};
  Expected.insert(Expected.end(), Case.Lines.begin(), Case.Lines.end());
  for (const std::string &Line : {Volume, SavesThere, Countdown, OpeningUiApp, Returning}) {
    Expected.push_back(Line);
  }
  EXPECT_EQ(Lines(), Expected);
  std::vector<std::string> ExpectedLoaded;
  for (const std::string &Which : Case.Loaded) {
    ExpectedLoaded.push_back(Which == "provider" ? ProviderText : CaptureText);
  }
  EXPECT_EQ(Fw.ImagesLoadedNow(), ExpectedLoaded);
}

Bytes StickFile(const std::u16string &Path) {
  return dp::Join({dp::File(Path), dp::End()});
}

const std::u16string CaptureFile = u"\\EFI\\BOOT\\x64\\HotKeyCapture.efi";
const std::u16string ProviderFile = u"\\EFI\\BOOT\\x64\\HotKeyProvider.efi";

const ResidentCase ResidentCases[] = {
    {"CaptureFromTheSamePlace",
     "capture",
     "stick",
     [] { return StickFile(CaptureFile); },
     {ProviderPresent, CaptureRunning},
     {}},
    {"ProviderFromTheSamePlaceWithoutItsProtocol",
     "provider",
     "stick",
     [] { return StickFile(ProviderFile); },
     {ProviderRunning, StartedCapture},
     {"capture"}},
    // FAT names know no letter case: the same file.
    {"CaptureFromTheSamePlaceOtherCase",
     "capture",
     "stick",
     [] { return StickFile(u"\\efi\\boot\\X64\\hotkeycapture.EFI"); },
     {ProviderPresent, CaptureRunning},
     {}},
    {"CaptureFromAnotherVolume",
     "capture",
     "other",
     [] { return StickFile(CaptureFile); },
     {ProviderPresent, StartedCapture},
     {"capture"}},
    {"CaptureWithoutADevice",
     "capture",
     "none",
     [] { return StickFile(CaptureFile); },
     {ProviderPresent, StartedCapture},
     {"capture"}},
    {"CaptureFromAnotherFolder",
     "capture",
     "stick",
     [] { return StickFile(u"\\EFI\\BOOT\\ia32\\HotKeyCapture.efi"); },
     {ProviderPresent, StartedCapture},
     {"capture"}},
    {"CapturePathWithMoreAfterIt",
     "capture",
     "stick",
     [] {
       return dp::Join({dp::File(CaptureFile), dp::File(u"x"), dp::End()});
     },
     {ProviderPresent, StartedCapture},
     {"capture"}},
    {"CaptureWithoutAFilePath",
     "capture",
     "stick",
     nullptr,
     {ProviderPresent, StartedCapture},
     {"capture"}},
    {"CaptureWithAMalformedPath",
     "capture",
     "stick",
     [] {
       return dp::Join({dp::Node(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {}, 2), dp::End()});
     },
     {ProviderPresent, StartedCapture},
     {"capture"}},
};

INSTANTIATE_TEST_SUITE_P(Images, LoaderResidentImageTest, ::testing::ValuesIn(ResidentCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// Without the list of images it cannot tell: it starts them as before.
TEST_F(LoaderTest, ImagesThatCannotBeListedAreStarted) {
  Fw.FailNext(FwCall::LocateHandleBuffer, EFI_OUT_OF_RESOURCES);    // the provider's check
  Fw.FailNext(FwCall::LocateHandleBuffer, EFI_OUT_OF_RESOURCES, 1); // HotKeyCapture's
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Header, StartedProvider, StartedCapture, Volume,
                                               SavesThere, Countdown, OpeningUiApp, Returning}));
  EXPECT_EQ(Fw.ImagesLoadedNow(), (std::vector<std::string>{ProviderText, CaptureText}));
}

// --- finding the setup ----------------------------------------------------------------

TEST_F(LoaderTest, FindsAHiddenSetupOutsideBootOrder) {
  Fw.PutVariable("BootOrder", GlobalVariable, Order({1}));
  Fw.PutVariable("Boot0000", GlobalVariable, ShellOption);
  Fw.PutVariable("Boot0007", GlobalVariable, UiAppOption);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(SetupStartedAt.size(), 1u);
  const std::vector<std::string> Reads = Fw.CallLog({FwCall::GetVariable});
  EXPECT_EQ(Reads.back(), "GetVariable(Boot0007)");
}

TEST_F(LoaderTest, SkipsMalformedOptionsThatLookLikeTheSetup) {
  const Bytes Bad = dp::LoadOption(1, dp::Text16(u"UiApp"), UiAppPath, {},
                                   static_cast<int>(UiAppPath.size() + 40));
  Fw.PutVariable("BootOrder", GlobalVariable, Order({0, 1}));
  Fw.PutVariable("Boot0000", GlobalVariable, Bad);
  Fw.PutVariable("Boot0002", GlobalVariable, UiAppOption);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Fw.CallLog({FwCall::LoadImage}).back(), "LoadImage(" + UiAppText + ")");
  EXPECT_EQ(Fw.CallLog({FwCall::GetVariable}).back(), "GetVariable(Boot0002)");
}

TEST_F(LoaderTest, OpensAnOptionCalledEnterSetup) {
  const Bytes Path = dp::Join({dp::Fv(OvmfVolume), dp::FvFile(ShellFile), dp::End()});
  Fw.PutVariable("Boot0000", GlobalVariable, dp::LoadOption(1, dp::Text16(u"Enter Setup"), Path));
  Fw.PutVariable("BootOrder", GlobalVariable, Order({0}));
  Fw.AddImageFile(FakeFirmware::DevicePathText(dp::AsPath(Path)), Setup);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines().at(6), "Opening the firmware setup: Enter Setup");
  EXPECT_EQ(SetupStartedAt.size(), 1u);
}

TEST_F(LoaderTest, SaysSoWhenNoOptionIsTheSetup) {
  Fw.PutVariable("Boot0000", GlobalVariable, ShellOption);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Header, StartedProvider, StartedCapture, Volume,
                                               SavesThere, Countdown, NoSetup, Returning}));
  // BootOrder, its two options, then every option from Boot0000 to Boot00FF.
  const std::vector<std::string> Reads = Fw.CallLog({FwCall::GetVariable});
  EXPECT_EQ(Reads.front(), "GetVariable(BootOrder)");
  EXPECT_EQ(Reads.back(), "GetVariable(Boot00FF)");
  EXPECT_EQ(Fw.CallCount(FwCall::LoadImage), 2u);
  EXPECT_EQ(Fw.ImagesLoadedNow(), (std::vector<std::string>{ProviderText, CaptureText}));
}

TEST_F(LoaderTest, VariablesThatCannotBeReadMeanNoSetup) {
  Fw.FailAlways(FwCall::GetVariable, EFI_DEVICE_ERROR);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines().at(6), NoSetup);
}

TEST_F(LoaderTest, ASetupThatDoesNotLoadIsReportedAndTheDriversStay) {
  Setup.LoadStatus = EFI_NOT_FOUND;
  Register();
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Header, StartedProvider, StartedCapture, Volume,
                                               SavesThere, Countdown, OpeningUiApp,
                                               "Could not start UiApp: Not Found", Returning}));
  EXPECT_EQ(Fw.ImagesLoadedNow(), (std::vector<std::string>{ProviderText, CaptureText}));
}

TEST_F(LoaderTest, ASetupThatFailsToStartIsUnloaded) {
  Setup.Start = [](EFI_HANDLE) { return EFI_ABORTED; };
  Register();
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines().at(7), "Could not start UiApp: Aborted");
  EXPECT_EQ(Unloaded(), std::vector<std::string>{UiAppText});
}

// --- where the pictures go --------------------------------------------------------------

TEST_F(LoaderTest, VolumeLabelWithoutFatPadding) {
  Stick->Label = "CAPTURE    ";
  Run();
  EXPECT_EQ(Lines().at(3), Volume);
}

TEST_F(LoaderTest, NoLabelPartForAVolumeWithoutLabel) {
  Stick->Label = "";
  Run();
  EXPECT_EQ(Lines().at(3), VolumeIs + StickText);
}

TEST_F(LoaderTest, LibefisPathTextWhenTheFirmwareHasNoConverter) {
  Fw.UninstallProtocol(gEfiDevicePathToTextProtocolGuid, PathToTextHandle);
  Run();
  EXPECT_EQ(Lines().at(3), VolumeIs + "PciRoot(0)/Pci(0x2,0x0) \"CAPTURE\"");
}

TEST_F(LoaderTest, LabelFromTheFileSystemInfoWhenTheLabelInfoFails) {
  Fw.FailNext(FwCall::GetInfo, EFI_UNSUPPORTED);
  Run();
  EXPECT_EQ(Lines().at(3), Volume);
}

TEST_F(LoaderTest, SaysSoWhenThereIsNoVolume) {
  Fw.UninstallProtocol(gEfiSimpleFileSystemProtocolGuid, Stick->Handle());
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines().at(3),
            "No file-system volume found: Ctrl+Alt+F9 saves nothing until one appears.");
  EXPECT_EQ(Lines().at(4), Countdown);
}

// An internal disk the firmware lists before the stick: the pictures go there,
// and the loader says so.
class LoaderWithInternalDiskTest : public LoaderTest {
public:
  void SetUp() override {
    FakeVolume &Disk = Fw.AddVolume();
    Disk.Label = "OS";
    Fw.InstallProtocol(gEfiDevicePathProtocolGuid, DiskPath.data(), Disk.Handle());
    LoaderTest::SetUp();
  }
  Bytes DiskPath = dp::Join({dp::PciRoot(0), dp::Pci(0x1F, 2), dp::End()});
};

TEST_F(LoaderWithInternalDiskTest, NamesTheFirstVolumeNotTheStick) {
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_EQ(Lines().at(3),
            VolumeIs + FakeFirmware::DevicePathText(dp::AsPath(DiskPath)) + " \"OS\"");
}

// --- no memory ----------------------------------------------------------------------------

constexpr unsigned AllocationsCovered = 48;

TEST_F(LoaderTest, AllocationsOfAWholeRunAreCoveredBelow) {
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_LT(Fw.CallCount(FwCall::AllocatePool), AllocationsCovered);
}

class LoaderAllocationTest : public LoaderTest, public ::testing::WithParamInterface<unsigned> {};

// Whichever allocation fails: the drivers are both loaded or neither, and
// TearDown finds nothing left over.
TEST_P(LoaderAllocationTest, FailingAllocationLeavesNothingBehind) {
  Fw.FailAllocation(GetParam());
  const EFI_STATUS Status = Run();
  const std::vector<std::string> Loaded = Fw.ImagesLoadedNow();
  if (EFI_ERROR(Status)) {
    EXPECT_TRUE(Loaded.empty());
    EXPECT_EQ(Lines().back(), GivingUp);
  } else {
    EXPECT_EQ(Loaded, (std::vector<std::string>{ProviderText, CaptureText}));
    EXPECT_EQ(Lines().back(), Returning);
  }
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, LoaderAllocationTest,
                         ::testing::Range(1u, AllocationsCovered + 1));

class LoaderSecondRunAllocationTest : public LoaderAllocationTest {};

// The same for a second run: the first run's drivers stay, once each.
TEST_P(LoaderSecondRunAllocationTest, FailingAllocationLeavesNothingBehind) {
  ASSERT_EQ(Run(), EFI_SUCCESS);
  const size_t FirstRunLines = Lines().size();
  Fw.FailAllocation(GetParam());
  const EFI_STATUS Status = Run();
  EXPECT_EQ(Fw.ImagesLoadedNow(), (std::vector<std::string>{ProviderText, CaptureText}));
  EXPECT_EQ(CaptureStarts, 1);
  EXPECT_EQ(Lines().back(), EFI_ERROR(Status) ? GivingUp : Returning);
  if (!EFI_ERROR(Status) && Lines().size() > FirstRunLines + 2) {
    EXPECT_EQ(Lines().at(FirstRunLines + 2), CaptureRunning);
  }
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, LoaderSecondRunAllocationTest,
                         ::testing::Range(1u, AllocationsCovered + 1));

} // namespace
