// The badge drawer: cursor images composed over a block of the screen, drawn
// through the graphics output protocol, and the built-in badge.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "hotkey/badge.h"
#include "hotkey/badge_image.h"
#include "tests/host/cursor_reference.h"
#include "tests/host/fake_firmware.h"

namespace {

using cursor::Colour;
using cursor::Picture;
using cursor::Pixel;
using cursor::SamePixels;

// A picture with every index or colour in use, about a third of it opaque,
// neighbours and rows all different so order and position mistakes show.
Picture Made(UINT16 BitCount, UINT8 Width, UINT8 Height, UINT32 Gap = 0) {
  Picture P;
  P.Width = Width;
  P.Height = Height;
  P.BitCount = BitCount;
  P.Gap = Gap;
  const unsigned Entries = BitCount <= 8 ? 1u << BitCount : 0;
  for (unsigned I = 0; I < Entries; ++I) {
    P.Table.push_back({static_cast<UINT8>(I * 37 + 11), static_cast<UINT8>(I * 101 + 5),
                       static_cast<UINT8>(255 - I * 13)});
  }
  for (uint32_t Y = 0; Y < Height; ++Y) {
    for (uint32_t X = 0; X < Width; ++X) {
      uint32_t H = (X + 1) * 2654435761u ^ (Y + 7) * 40503u;
      H ^= H >> 13;
      H *= 0x9E3779B1u;
      H ^= H >> 16;
      cursor::CursorPixel Px;
      Px.Opaque = H % 3 == 0;
      Px.Index = Entries != 0 ? static_cast<UINT8>((H >> 4) % Entries) : 0;
      Px.Direct = {static_cast<UINT8>(H >> 8), static_cast<UINT8>(H >> 16),
                   static_cast<UINT8>(H >> 24)};
      P.Pixels.push_back(Px);
    }
  }
  return P;
}

std::vector<Pixel> PatternBlock(UINTN Width, UINTN Height, UINT32 Shift = 0) {
  std::vector<Pixel> Block;
  for (UINT32 Y = 0; Y < Height; ++Y) {
    for (UINT32 X = 0; X < Width; ++X) {
      Block.push_back(FakeFirmware::PatternPixel(X + Shift, Y + 3 * Shift));
    }
  }
  return Block;
}

// --- composing: every depth and width against the independent model -------

struct ComposeCase {
  const char *Name;
  UINT16 BitCount;
  UINT8 Width;
  UINT8 Height;
  UINT32 Gap;
};

void PrintTo(const ComposeCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

// Widths 8, 16, 24, 32, 64 leave 3, 2, 1, 0, 0 padding bytes after each mask
// row; the builder fills them with 0x00, which read as mask would clear pixels.
const ComposeCase ComposeCases[] = {
    {"Mono8x8", 1, 8, 8, 0},           {"Mono32x4", 1, 32, 4, 0},
    {"Mono64x64", 1, 64, 64, 0},       {"Nibble8x8", 4, 8, 8, 0},
    {"Nibble24x2", 4, 24, 2, 0},       {"Nibble16x16", 4, 16, 16, 0},
    {"Byte16x16", 8, 16, 16, 0},       {"Byte24x3", 8, 24, 3, 0},
    {"Byte64x64", 8, 64, 64, 0},       {"Rgb8x8", 24, 8, 8, 0},
    {"Rgb24x5", 24, 24, 5, 0},         {"Rgb64x64", 24, 64, 64, 0},
    {"Rgba8x8", 32, 8, 8, 0},          {"Rgba32x2", 32, 32, 2, 0},
    {"Rgba16x16", 32, 16, 16, 0},      {"ByteDataAfterGap", 8, 8, 8, 4},
    {"RgbDataAfterGap", 24, 16, 4, 8},
};

class ComposeTest : public FirmwareTest, public ::testing::WithParamInterface<ComposeCase> {};

TEST_P(ComposeTest, MatchesTheModelAndIsRepeatable) {
  const ComposeCase &Case = GetParam();
  const Picture P = Made(Case.BitCount, Case.Width, Case.Height, Case.Gap);
  const cursor::File Image = cursor::Build(P);
  const std::vector<Pixel> Screen = PatternBlock(Case.Width, Case.Height);
  const std::vector<Pixel> Expected = cursor::Drawn(P, Screen);

  // Twice on the same screen: nothing carries over from one call to the next.
  for (int Round = 0; Round < 2; ++Round) {
    SCOPED_TRACE(Round);
    std::vector<Pixel> Block = Screen;
    ASSERT_EQ(ComposeCursorImage(Block.data(), Image.Data()), EFI_SUCCESS);
    EXPECT_TRUE(SamePixels(Block, Expected, Case.Width));
  }
  EXPECT_EQ(Fw.ConsoleText(), "");
}

INSTANTIATE_TEST_SUITE_P(Table, ComposeTest, ::testing::ValuesIn(ComposeCases),
                         [](const ::testing::TestParamInfo<ComposeCase> &Info) {
                           return std::string(Info.param.Name);
                         });

// The four kinds of pixel, stated directly rather than through the model, on
// screens of every sort: opaque pixels take the image colour whatever was
// there, transparent black keeps the screen, transparent white inverts it.
using ComposeRuleTest = FirmwareTest;

TEST_F(ComposeRuleTest, BlackAndWhiteOverAnyScreen) {
  const Colour Black{0, 0, 0};
  const Colour White{0xFF, 0xFF, 0xFF};
  for (UINT16 BitCount : {UINT16{1}, UINT16{24}}) {
    Picture P;
    P.Width = 16;
    P.Height = 4;
    P.BitCount = BitCount;
    if (BitCount == 1) {
      P.Table = {Black, White};
    }
    for (unsigned Y = 0; Y < P.Height; ++Y) {
      for (unsigned X = 0; X < P.Width; ++X) {
        const unsigned Kind = (X + Y) % 4; // 0, 1 opaque; 0, 2 black
        P.Pixels.push_back({static_cast<UINT8>(Kind % 2), Kind % 2 == 0 ? Black : White, Kind < 2});
      }
    }
    const cursor::File Image = cursor::Build(P);
    const std::vector<Pixel> Screens[] = {
        PatternBlock(16, 4),
        std::vector<Pixel>(64, Pixel{0, 0, 0, 0x81}),
        std::vector<Pixel>(64, Pixel{0xFF, 0xFF, 0xFF, 0x7E}),
        PatternBlock(16, 4, 77),
    };
    for (const std::vector<Pixel> &Screen : Screens) {
      SCOPED_TRACE(testing::Message() << BitCount << " bits, screen " << &Screen - Screens);
      std::vector<Pixel> Block = Screen;
      ASSERT_EQ(ComposeCursorImage(Block.data(), Image.Data()), EFI_SUCCESS);
      std::vector<Pixel> Expected = Screen;
      for (unsigned I = 0; I < Expected.size(); ++I) {
        Pixel &E = Expected[I];
        switch ((I % 16 + I / 16) % 4) {
        case 0:
          E = {0, 0, 0, E.Reserved};
          break;
        case 1:
          E = {0xFF, 0xFF, 0xFF, E.Reserved};
          break;
        case 2:
          break;
        default:
          E = {static_cast<UINT8>(~E.Blue), static_cast<UINT8>(~E.Green),
               static_cast<UINT8>(~E.Red), E.Reserved};
        }
      }
      EXPECT_TRUE(SamePixels(Block, Expected, 16));
    }
  }
}

// --- images the composer refuses -------------------------------------------

struct RefusedCase {
  const char *Name;
  UINT16 BitCount;
  UINT8 Width;
  UINT8 Height;
  const char *Console; // nullptr: not checked
};

void PrintTo(const RefusedCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const RefusedCase RefusedCases[] = {
    {"BitCount0", 0, 8, 8, "Not Support!"},
    {"BitCount2", 2, 8, 8, "Not Support!"},
    {"BitCount16", 16, 8, 8, "Not Support!"},
    {"BitCount64", 64, 8, 8, "Not Support!"},
    {"Width12", 24, 12, 8, nullptr},
    {"Width4", 4, 4, 4, nullptr},
    {"Width255", 32, 255, 1, nullptr},
    {"Width0", 1, 0, 8, nullptr},
    {"Height0", 8, 8, 0, nullptr},
};

class RefusedTest : public FirmwareTest, public ::testing::WithParamInterface<RefusedCase> {};

// The image is only its headers, allocated to the byte: reading any data
// would be a heap overflow under ASan.
TEST_P(RefusedTest, LeavesTheBlockAlone) {
  const RefusedCase &Case = GetParam();
  const cursor::File Image =
      cursor::Exact(cursor::Headers(Case.Width, Case.Height, Case.BitCount, 0, 0));
  ASSERT_EQ(Image.Size, 62u);
  const std::vector<Pixel> Screen = PatternBlock(32, 32);
  std::vector<Pixel> Block = Screen;

  EXPECT_EQ(ComposeCursorImage(Block.data(), Image.Data()), EFI_UNSUPPORTED);

  EXPECT_TRUE(SamePixels(Block, Screen, 32));
  if (Case.Console != nullptr) {
    EXPECT_EQ(Fw.ConsoleText(), Case.Console);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedTest, ::testing::ValuesIn(RefusedCases),
                         [](const ::testing::TestParamInfo<RefusedCase> &Info) {
                           return std::string(Info.param.Name);
                         });

// --- drawing through the graphics output protocol --------------------------

class DrawTest : public FirmwareTest {
protected:
  static constexpr UINTN Left = 5, Top = 3, Width = 16, Height = 8, ScreenW = 40;
  void SetUp() override { Fw.SetScreen(ScreenW, 30); }
  const Picture P = Made(4, Width, Height);
  const cursor::File Image = cursor::Build(P);
};

TEST_F(DrawTest, ReadsComposesAndWritesBackOneBlockOfTheImageSize) {
  const std::vector<Pixel> Before = Fw.Screen();

  ASSERT_EQ(DrawCursorImage(Fw.Gop(), Image.Data(), Left, Top, Width, Height), EFI_SUCCESS);

  EXPECT_TRUE(
      SamePixels(Fw.Screen(), cursor::DrawnOnScreen(P, Before, ScreenW, Left, Top), ScreenW));
  EXPECT_EQ(Fw.CallLog({FwCall::AllocatePool, FwCall::FreePool, FwCall::Blt}),
            (std::vector<std::string>{"AllocatePool(512)", "Blt(VideoToBltBuffer)",
                                      "Blt(BufferToVideo)", "FreePool(512)"}));
  ASSERT_EQ(Fw.Blts().size(), 2u);
  const BltRecord &Read = Fw.Blts()[0];
  const BltRecord &Write = Fw.Blts()[1];
  EXPECT_NE(Read.Buffer, nullptr);
  EXPECT_EQ(Write.Buffer, Read.Buffer);
  EXPECT_EQ(Read.Operation, EfiBltVideoToBltBuffer);
  EXPECT_EQ(Write.Operation, EfiBltBufferToVideo);
  for (const BltRecord *Blt : {&Read, &Write}) {
    EXPECT_EQ(Blt->Width, Width);
    EXPECT_EQ(Blt->Height, Height);
    EXPECT_EQ(Blt->Delta, Width * 4);
  }
  EXPECT_EQ(Read.SourceX, Left);
  EXPECT_EQ(Read.SourceY, Top);
  EXPECT_EQ(Read.DestinationX, 0u);
  EXPECT_EQ(Read.DestinationY, 0u);
  EXPECT_EQ(Write.SourceX, 0u);
  EXPECT_EQ(Write.SourceY, 0u);
  EXPECT_EQ(Write.DestinationX, Left);
  EXPECT_EQ(Write.DestinationY, Top);
  EXPECT_EQ(Fw.LiveAllocations(), 0u);
}

enum class ScreenAfter { Kept, NotChecked };

struct DrawFailure {
  const char *Name;
  UINTN Width, Height; // as passed
  UINT16 BitCount;     // of the image; 16 is refused by the composer
  std::function<void(FakeFirmware &)> Arrange;
  EFI_STATUS Status;
  std::vector<std::string> Calls; // AllocatePool, FreePool and Blt only
  ScreenAfter Screen;
  std::string Console;
};

void PrintTo(const DrawFailure &Case, std::ostream *Out) {
  *Out << Case.Name;
}

const std::string Allocate = "AllocatePool(512)";
const std::string Free = "FreePool(512)";
const std::string ReadBlt = "Blt(VideoToBltBuffer)";
const std::string WriteBlt = "Blt(BufferToVideo)";
const auto Nothing = [](FakeFirmware &) {};

const DrawFailure DrawFailures[] = {
    {"WidthNotTheImages", 8, 8, 4, Nothing, EFI_INVALID_PARAMETER, {}, ScreenAfter::Kept, ""},
    {"HeightNotTheImages", 16, 16, 4, Nothing, EFI_INVALID_PARAMETER, {}, ScreenAfter::Kept, ""},
    {"NoMemory",
     16,
     8,
     4,
     [](FakeFirmware &Fw) { Fw.FailAllocation(1); },
     EFI_OUT_OF_RESOURCES,
     {Allocate},
     ScreenAfter::Kept,
     ""},
    {"ScreenReadFails",
     16,
     8,
     4,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Blt, EFI_DEVICE_ERROR); },
     EFI_DEVICE_ERROR,
     {Allocate, ReadBlt, Free},
     ScreenAfter::Kept,
     ""},
    {"ComposerRefuses",
     16,
     8,
     16,
     Nothing,
     EFI_UNSUPPORTED,
     {Allocate, ReadBlt, Free},
     ScreenAfter::Kept,
     "Not Support!"},
    {"ScreenWriteFails",
     16,
     8,
     4,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Blt, EFI_DEVICE_ERROR, 1); },
     EFI_DEVICE_ERROR,
     {Allocate, ReadBlt, WriteBlt, Free},
     ScreenAfter::Kept,
     ""},
    {"ScreenReadWarns",
     16,
     8,
     4,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Blt, EFI_WARN_WRITE_FAILURE); },
     EFI_SUCCESS,
     {Allocate, ReadBlt, WriteBlt, Free},
     ScreenAfter::NotChecked,
     ""},
    {"ScreenWriteWarns",
     16,
     8,
     4,
     [](FakeFirmware &Fw) { Fw.FailNext(FwCall::Blt, EFI_WARN_UNKNOWN_GLYPH, 1); },
     EFI_SUCCESS,
     {Allocate, ReadBlt, WriteBlt, Free},
     ScreenAfter::NotChecked,
     ""},
};

class DrawFailureTest : public FirmwareTest, public ::testing::WithParamInterface<DrawFailure> {
protected:
  void SetUp() override { Fw.SetScreen(40, 30); }
};

TEST_P(DrawFailureTest, ReturnsTheStatusAndReleasesTheBlock) {
  const DrawFailure &Case = GetParam();
  // A refused image is only its headers, to the byte.
  const cursor::File Image = Case.BitCount == 16 ? cursor::Exact(cursor::Headers(16, 8, 16, 0, 0))
                                                 : cursor::Build(Made(Case.BitCount, 16, 8));
  const std::vector<Pixel> Before = Fw.Screen();
  Case.Arrange(Fw);

  EXPECT_EQ(DrawCursorImage(Fw.Gop(), Image.Data(), 5, 3, Case.Width, Case.Height), Case.Status);

  EXPECT_EQ(Fw.CallLog({FwCall::AllocatePool, FwCall::FreePool, FwCall::Blt}), Case.Calls);
  EXPECT_EQ(Fw.LiveAllocations(), 0u);
  if (Case.Screen == ScreenAfter::Kept) {
    EXPECT_TRUE(SamePixels(Fw.Screen(), Before, 40));
  }
  EXPECT_EQ(Fw.ConsoleText(), Case.Console);
}

INSTANTIATE_TEST_SUITE_P(Table, DrawFailureTest, ::testing::ValuesIn(DrawFailures),
                         [](const ::testing::TestParamInfo<DrawFailure> &Info) {
                           return std::string(Info.param.Name);
                         });

// --- the built-in badge ------------------------------------------------------

class SaveBadgeTest : public FirmwareTest {
protected:
  void SetUp() override {
    Fw.SetScreen(800, 600);
    GraphicsOutput = Fw.Gop();
  }
  void TearDown() override {
    GraphicsOutput = nullptr;
    FirmwareTest::TearDown();
  }
};

TEST_F(SaveBadgeTest, ChangesOnlyTheOpaquePixelsOfTheSquareAndOnlyOnce) {
  ASSERT_EQ(BadgeImageSize, 12862u);
  ASSERT_EQ(BadgeImage[6], 64);
  ASSERT_EQ(BadgeImage[7], 64);
  ASSERT_EQ(BadgeImage[18] | BadgeImage[19] << 8 | BadgeImage[20] << 16 | BadgeImage[21] << 24, 22);
  ASSERT_EQ(BadgeImage[36] | BadgeImage[37] << 8, 24);
  const Picture Badge = cursor::Read24(BadgeImage, 64);
  const std::vector<Pixel> Before = Fw.Screen();

  ASSERT_EQ(ShowSaveBadge(100, 100), EFI_SUCCESS);

  std::vector<Pixel> Expected = Before;
  unsigned Opaque = 0;
  for (UINTN Y = 0; Y < 64; ++Y) {
    for (UINTN X = 0; X < 64; ++X) {
      if (Badge.OpaqueAt(X, Y)) {
        ++Opaque;
        Pixel &E = Expected[(100 + Y) * 800 + 100 + X];
        const Colour C = Badge.ColourAt(X, Y);
        E = {C.Blue, C.Green, C.Red, E.Reserved};
      }
    }
  }
  EXPECT_GT(Opaque, 0u);
  EXPECT_LT(Opaque, 64u * 64u);
  EXPECT_NE(Expected, Before) << "the badge must show on this screen";
  EXPECT_TRUE(SamePixels(Fw.Screen(), Expected, 800));

  // Drawn again over itself: the same picture.
  ASSERT_EQ(ShowSaveBadge(100, 100), EFI_SUCCESS);
  EXPECT_TRUE(SamePixels(Fw.Screen(), Expected, 800));
  EXPECT_EQ(Fw.LiveAllocations(), 0u);
}

} // namespace
