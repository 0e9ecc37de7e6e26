// The loader's pure readers: an EFI_LOAD_OPTION from a Boot#### variable and
// the loader's own file path. Each input lies in a heap block of exactly its
// size, so the sanitizer build catches any read past it.
#include <memory>
#include <ostream>
#include <string>

#include "loader/image_path.h"
#include "loader/setup_option.h"
#include "tests/host/device_path_builder.h"
#include "tests/host/fake_firmware.h"

namespace {

using dp::Bytes;

// A copy in a block of exactly Size bytes (none for an empty input).
std::unique_ptr<UINT8[]> Exact(const Bytes &Input) {
  std::unique_ptr<UINT8[]> Copy(Input.empty() ? nullptr : new UINT8[Input.size()]);
  if (!Input.empty()) {
    std::memcpy(Copy.get(), Input.data(), Input.size());
  }
  return Copy;
}

Bytes FirstBytes(const Bytes &Input, size_t Count) {
  return Bytes(Input.begin(), Input.begin() + static_cast<std::ptrdiff_t>(Count));
}

const Bytes DiskPath =
    dp::Join({dp::PciRoot(0), dp::Pci(2, 0), dp::File(u"\\EFI\\BOOT\\BOOTX64.EFI"), dp::End()});

enum class Expect { Malformed, Other, Setup };

struct OptionCase {
  const char *Name;
  Bytes Option;
  Expect Result;
};

std::ostream &operator<<(std::ostream &Out, const OptionCase &Case) {
  return Out << Case.Name;
}

class LoadOptionTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(LoadOptionTest, ParsesAndRecognisesTheSetup) {
  const OptionCase &Case = GetParam();
  const auto Data = Exact(Case.Option);
  LoadOptionView View{};
  const bool Parsed = ParseLoadOption(Data.get(), Case.Option.size(), &View);
  ASSERT_EQ(Parsed, Case.Result != Expect::Malformed);
  if (Parsed) {
    EXPECT_EQ(IsFirmwareSetup(View), Case.Result == Expect::Setup);
  }
}

const OptionCase OptionCases[] = {
    {"UiAppByFileAndName", dp::LoadOption(0x109, dp::Text16(u"UiApp"), UiAppPath), Expect::Setup},
    {"UiAppFileOtherName", dp::LoadOption(1, dp::Text16(u"Front Page"), UiAppPath), Expect::Setup},
    {"EnterSetupName", dp::LoadOption(1, dp::Text16(u"Enter Setup"), DiskPath), Expect::Setup},
    {"UiAppNameOtherFile", dp::LoadOption(1, dp::Text16(u"UiApp"), ShellPath), Expect::Setup},
    {"Shell", dp::LoadOption(1, dp::Text16(u"EFI Internal Shell"), ShellPath), Expect::Other},
    {"Disk", dp::LoadOption(1, dp::Text16(u"UEFI QEMU HARDDISK"), DiskPath), Expect::Other},
    {"NameInOtherCase", dp::LoadOption(1, dp::Text16(u"uiapp"), ShellPath), Expect::Other},
    {"NameLonger", dp::LoadOption(1, dp::Text16(u"UiApps"), ShellPath), Expect::Other},
    {"NameShorter", dp::LoadOption(1, dp::Text16(u"UiAp"), ShellPath), Expect::Other},
    {"EmptyName", dp::LoadOption(1, dp::Text16(u""), ShellPath), Expect::Other},
    {"UiAppFileNotLastNode",
     dp::LoadOption(1, dp::Text16(u"x"),
                    dp::Join({dp::FvFile(UiAppFile), dp::File(u"\\x.efi"), dp::End()})),
     Expect::Other},
    {"UiAppFileInSecondPath", dp::LoadOption(1, dp::Text16(u"x"), dp::Join({ShellPath, UiAppPath})),
     Expect::Other},
    {"UiAppFileAfterEndInstance",
     dp::LoadOption(
         1, dp::Text16(u"x"),
         dp::Join({dp::FvFile(ShellFile), dp::EndInstance(), dp::FvFile(UiAppFile), dp::End()})),
     Expect::Other},
    {"UiAppFileNodeCutShort",
     dp::LoadOption(1, dp::Text16(u"x"),
                    dp::Join({dp::Node(MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_FILE_DP,
                                       FirstBytes(dp::GuidBytes(UiAppFile), 15)),
                              dp::End()})),
     Expect::Other},
    {"OnlyAnEndNode", dp::LoadOption(1, dp::Text16(u"x"), dp::End()), Expect::Other},
    {"WithOptionalData", dp::LoadOption(1, dp::Text16(u"UiApp"), UiAppPath, Bytes(7, 0xEE)),
     Expect::Setup},
    {"TwoPaths", dp::LoadOption(1, dp::Text16(u"Front Page"), dp::Join({UiAppPath, DiskPath})),
     Expect::Setup},

    {"Empty", Bytes{}, Expect::Malformed},
    {"ShorterThanFixedPart", Bytes{1, 0, 0, 0, 0}, Expect::Malformed},
    {"FixedPartOnly", dp::LoadOption(1, Bytes{}, Bytes{}), Expect::Malformed},
    {"NameUnterminated", dp::LoadOption(1, dp::Text16(u"UiApp", false), Bytes{}),
     Expect::Malformed},
    {"NameEndsInHalfCharacter", dp::Join({dp::LoadOption(1, dp::Text16(u"Ui", false), {}), {'A'}}),
     Expect::Malformed},
    {"NoPathList", dp::LoadOption(1, dp::Text16(u"UiApp"), Bytes{}), Expect::Malformed},
    {"PathListPastTheEnd",
     dp::LoadOption(1, dp::Text16(u"UiApp"), UiAppPath, {}, static_cast<int>(UiAppPath.size() + 1)),
     Expect::Malformed},
    {"PathListLengthCutsTheEndNode",
     dp::LoadOption(1, dp::Text16(u"UiApp"), UiAppPath, {}, static_cast<int>(UiAppPath.size() - 4)),
     Expect::Malformed},
    {"PathListLengthCutsANode",
     dp::LoadOption(1, dp::Text16(u"UiApp"), UiAppPath, {}, static_cast<int>(UiAppPath.size() - 2)),
     Expect::Malformed},
    {"NoEndNode",
     dp::LoadOption(1, dp::Text16(u"UiApp"), dp::Join({dp::Fv(OvmfVolume), dp::FvFile(UiAppFile)})),
     Expect::Malformed},
    {"EndsWithEndInstance",
     dp::LoadOption(1, dp::Text16(u"UiApp"), dp::Join({dp::FvFile(UiAppFile), dp::EndInstance()})),
     Expect::Malformed},
    {"NodeLengthZero",
     dp::LoadOption(
         1, dp::Text16(u"UiApp"),
         dp::Join({dp::Node(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, Bytes(8, 'a'), 0), dp::End()})),
     Expect::Malformed},
    {"NodeLengthBelowHeader",
     dp::LoadOption(1, dp::Text16(u"UiApp"),
                    dp::Join({dp::Node(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {}, 3), dp::End()})),
     Expect::Malformed},
    {"NodeLengthPastTheList",
     dp::LoadOption(1, dp::Text16(u"UiApp"),
                    dp::Join({dp::Node(MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_FILE_DP,
                                       dp::GuidBytes(UiAppFile), 24 + 4),
                              dp::End()})),
     Expect::Malformed},
    {"EndNodeLengthPastTheList",
     dp::LoadOption(
         1, dp::Text16(u"UiApp"),
         dp::Join({dp::FvFile(UiAppFile),
                   dp::Node(END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {}, 8)})),
     Expect::Malformed},
    {"BytesAfterTheLastEndNode",
     dp::LoadOption(1, dp::Text16(u"UiApp"), dp::Join({UiAppPath, Bytes{1, 1}})),
     Expect::Malformed},
};

INSTANTIATE_TEST_SUITE_P(Options, LoadOptionTest, ::testing::ValuesIn(OptionCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST(LoadOption, ViewPointsAtEachPart) {
  const Bytes Optional{1, 2, 3};
  const Bytes Option = dp::LoadOption(0x109, dp::Text16(u"UiApp"), UiAppPath, Optional);
  LoadOptionView View{};
  ASSERT_TRUE(ParseLoadOption(Option.data(), Option.size(), &View));
  EXPECT_EQ(View.Attributes, 0x109u);
  EXPECT_EQ(ToUtf8(View.Description), "UiApp");
  EXPECT_EQ(View.DescriptionChars, 5u);
  EXPECT_EQ(reinterpret_cast<const UINT8 *>(View.FilePathList), Option.data() + 6 + 12);
  EXPECT_EQ(View.FilePathListLength, UiAppPath.size());
  EXPECT_EQ(reinterpret_cast<const UINT8 *>(View.LastNode), Option.data() + 6 + 12 + 20);
  EXPECT_EQ(View.OptionalDataSize, 3u);
  EXPECT_EQ(View.OptionalData, Option.data() + Option.size() - 3);
}

// --- the loader's own folder ----------------------------------------------------

struct PathCase {
  const char *Name;
  Bytes FilePath;
  EFI_STATUS Status;
  std::string Result; // on success
};

std::ostream &operator<<(std::ostream &Out, const PathCase &Case) {
  return Out << Case.Name;
}

class SiblingPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(SiblingPathTest, IsTheArchitectureFolderBesideTheLoader) {
  const PathCase &Case = GetParam();
  const auto Data = Exact(Case.FilePath);
  CHAR16 Out[MaxImagePathChars];
  const EFI_STATUS Status = SiblingImagePath(reinterpret_cast<const EFI_DEVICE_PATH *>(Data.get()),
                                             Text(u"x64"), Text(u"HotKeyCapture.efi"), Out);
  EXPECT_EQ(Status, Case.Status);
  if (Case.Status == EFI_SUCCESS) {
    EXPECT_EQ(ToUtf8(Out), Case.Result);
  }
}

const std::string Beside = "\\EFI\\BOOT\\x64\\HotKeyCapture.efi";

const PathCase PathCases[] = {
    {"OneNode", dp::Join({dp::File(u"\\EFI\\BOOT\\BOOTX64.EFI"), dp::End()}), EFI_SUCCESS, Beside},
    {"FolderAndFileNodes",
     dp::Join({dp::File(u"\\EFI\\BOOT"), dp::File(u"BOOTX64.EFI"), dp::End()}), EFI_SUCCESS,
     Beside},
    {"BackslashOnBothSides",
     dp::Join({dp::File(u"\\EFI\\BOOT\\"), dp::File(u"\\BOOTX64.EFI"), dp::End()}), EFI_SUCCESS,
     Beside},
    {"ForwardSlashes", dp::Join({dp::File(u"/EFI/BOOT/BOOTX64.EFI"), dp::End()}), EFI_SUCCESS,
     Beside},
    {"OtherNodesFirst",
     dp::Join({dp::PciRoot(0), dp::Pci(2, 0), dp::File(u"\\EFI\\BOOT\\BOOTX64.EFI"), dp::End()}),
     EFI_SUCCESS, Beside},
    {"NameWithoutNul", dp::Join({dp::File(u"\\EFI\\BOOT\\BOOTX64.EFI", false), dp::End()}),
     EFI_SUCCESS, Beside},
    {"InTheRoot", dp::Join({dp::File(u"\\BOOTX64.EFI"), dp::End()}), EFI_SUCCESS,
     "\\x64\\HotKeyCapture.efi"},
    {"NoFolderAtAll", dp::Join({dp::File(u"BOOTX64.EFI"), dp::End()}), EFI_SUCCESS,
     "\\x64\\HotKeyCapture.efi"},
    {"FirstInstanceOnly",
     dp::Join({dp::File(u"\\EFI\\BOOT\\BOOTX64.EFI"), dp::EndInstance(), dp::File(u"\\other"),
               dp::End()}),
     EFI_SUCCESS, Beside},
    {"NoFileNode", dp::Join({dp::PciRoot(0), dp::End()}), EFI_NOT_FOUND, ""},
    {"NoPath", Bytes{}, EFI_NOT_FOUND, ""},
    {"NodeBelowHeader",
     dp::Join({dp::Node(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {}, 2), dp::End()}),
     EFI_INVALID_PARAMETER, ""},
    {"TooLong", dp::Join({dp::File(u"\\" + std::u16string(300, u'a') + u"\\B.EFI"), dp::End()}),
     EFI_BUFFER_TOO_SMALL, ""},
};

INSTANTIATE_TEST_SUITE_P(Paths, SiblingPathTest, ::testing::ValuesIn(PathCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
