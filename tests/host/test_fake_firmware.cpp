// The fake firmware's own promises that the other tests lean on: a Blt that
// copies the right pixels and refuses what a real one refuses, pool and file
// misuse that fails a test, files that behave like a volume's.
#include <gtest/gtest-spi.h>

#include <string>
#include <vector>

#include "tests/host/fake_firmware.h"

namespace {

using Pixel = EFI_GRAPHICS_OUTPUT_BLT_PIXEL;

bool SamePixel(const Pixel &A, const Pixel &B) {
  return A.Blue == B.Blue && A.Green == B.Green && A.Red == B.Red && A.Reserved == B.Reserved;
}

TEST(FakeGopTest, BltCopiesRectanglesHonouringPositionsAndDelta) {
  FakeFirmware Fw;
  Fw.SetScreen(6, 4);
  EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop = Fw.Gop();

  // 3 x 2 from screen (2, 1) into a 5-pixel-wide buffer at (1, 1).
  std::vector<Pixel> Buffer(5 * 3, Pixel{9, 9, 9, 9});
  ASSERT_EQ(Gop->Blt(Gop, Buffer.data(), EfiBltVideoToBltBuffer, 2, 1, 1, 1, 3, 2, 5 * 4),
            EFI_SUCCESS);
  for (UINT32 Y = 0; Y < 3; ++Y) {
    for (UINT32 X = 0; X < 5; ++X) {
      const bool Inside = X >= 1 && X < 4 && Y >= 1;
      const Pixel Want = Inside ? FakeFirmware::PatternPixel(X + 1, Y) : Pixel{9, 9, 9, 9};
      EXPECT_TRUE(SamePixel(Buffer[Y * 5 + X], Want)) << X << "," << Y;
    }
  }

  // And back to the screen at (0, 2): only that rectangle changes.
  const std::vector<Pixel> Before = Fw.Screen();
  ASSERT_EQ(Gop->Blt(Gop, Buffer.data(), EfiBltBufferToVideo, 1, 1, 0, 2, 3, 2, 5 * 4),
            EFI_SUCCESS);
  for (UINT32 Y = 0; Y < 4; ++Y) {
    for (UINT32 X = 0; X < 6; ++X) {
      const bool Inside = X < 3 && Y >= 2;
      const Pixel Want = Inside ? Buffer[(Y - 1) * 5 + X + 1] : Before[Y * 6 + X];
      EXPECT_TRUE(SamePixel(Fw.Pixel(X, Y), Want)) << X << "," << Y;
    }
  }
  EXPECT_EQ(Fw.Blts().size(), 2u);
}

TEST(FakeGopTest, BltRefusesRectanglesOffTheScreen) {
  FakeFirmware Fw;
  Fw.SetScreen(6, 4);
  EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop = Fw.Gop();
  std::vector<Pixel> Buffer(64);
  struct Case {
    EFI_GRAPHICS_OUTPUT_BLT_OPERATION Operation;
    UINTN SourceX, SourceY, DestinationX, DestinationY, Width, Height;
  };
  const Case Cases[] = {
      {EfiBltVideoToBltBuffer, 0, 0, 0, 0, 7, 1},
      {EfiBltVideoToBltBuffer, 4, 0, 0, 0, 3, 1},
      {EfiBltVideoToBltBuffer, 0, 3, 0, 0, 1, 2},
      {EfiBltVideoToBltBuffer, 0, 0, 0, 0, 0, 1},
      {EfiBltBufferToVideo, 0, 0, 5, 0, 2, 1},
      {EfiBltBufferToVideo, 0, 0, 0, 4, 1, 1},
      {EfiBltVideoToBltBuffer, ~UINTN{0}, 0, 0, 0, 2, 1},
  };
  const std::vector<Pixel> Before = Fw.Screen();
  for (const Case &C : Cases) {
    EXPECT_EQ(Gop->Blt(Gop, Buffer.data(), C.Operation, C.SourceX, C.SourceY, C.DestinationX,
                       C.DestinationY, C.Width, C.Height, 0),
              EFI_INVALID_PARAMETER)
        << C.Operation << " " << C.SourceX << "," << C.SourceY << " -> " << C.DestinationX << ","
        << C.DestinationY << " " << C.Width << "x" << C.Height;
  }
  for (size_t I = 0; I < Before.size(); ++I) {
    EXPECT_TRUE(SamePixel(Fw.Screen()[I], Before[I])) << I;
  }
}

TEST(FakePoolTest, CountsAllocationsAndCatchesBadFrees) {
  FakeFirmware Fw;
  VOID *A = AllocatePool(100);
  VOID *B = AllocatePool(30);
  ASSERT_NE(A, nullptr);
  ASSERT_NE(B, nullptr);
  EXPECT_EQ(Fw.LiveBytes(), 130u);
  FreePool(A);
  EXPECT_EQ(Fw.PeakBytes(), 130u);
  EXPECT_FALSE(Fw.AllPoolFreed());

  EXPECT_NONFATAL_FAILURE(FreePool(A), "already freed");
  int NotPool = 0;
  EXPECT_NONFATAL_FAILURE(FreePool(&NotPool), "never handed out");
  FreePool(B);
  EXPECT_TRUE(Fw.AllPoolFreed());
  EXPECT_EQ(Fw.Misuse().size(), 2u);

  // Numbered failure and a size threshold.
  Fw.FailAllocation(2);
  VOID *First = AllocatePool(8);
  EXPECT_NE(First, nullptr);
  EXPECT_EQ(AllocatePool(8), nullptr);
  VOID *Third = AllocatePool(8);
  EXPECT_NE(Third, nullptr);
  Fw.FailAllocationsOfAtLeast(1000);
  EXPECT_EQ(AllocatePool(1000), nullptr);
  VOID *Small = AllocatePool(999);
  EXPECT_NE(Small, nullptr);
  FreePool(First);
  FreePool(Third);
  FreePool(Small);
  EXPECT_TRUE(Fw.AllPoolFreed());
}

TEST(FakeFirmwareTest, UnimplementedSlotsFailTheTestByName) {
  FakeFirmware Fw;
  EXPECT_NONFATAL_FAILURE(BS->Exit(Fw.ImageHandle(), EFI_SUCCESS, 0, nullptr), "BS->Exit");
  EXPECT_NONFATAL_FAILURE(RT->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr),
                          "RT->ResetSystem");
  EXPECT_EQ(Fw.CallLog(), (std::vector<std::string>{"Unimplemented(BS->Exit)",
                                                    "Unimplemented(RT->ResetSystem)"}));
}

TEST(FakeFirmwareTest, LocateProtocolFindsRegisteredProtocolsAndHandleListsArePool) {
  FakeFirmware Fw;
  const EFI_GUID Guid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  int Interface = 0;
  VOID *Found = nullptr;
  EXPECT_EQ(BS->LocateProtocol(const_cast<EFI_GUID *>(&Guid), nullptr, &Found), EFI_NOT_FOUND);
  const EFI_HANDLE Handle = Fw.InstallProtocol(Guid, &Interface);
  EXPECT_EQ(BS->LocateProtocol(const_cast<EFI_GUID *>(&Guid), nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, &Interface);

  Fw.AddVolume();
  Fw.AddVolume();
  UINTN Count = 0;
  EFI_HANDLE *List = nullptr;
  ASSERT_EQ(
      BS->LocateHandleBuffer(ByProtocol, &gEfiSimpleFileSystemProtocolGuid, nullptr, &Count, &List),
      EFI_SUCCESS);
  ASSERT_EQ(Count, 2u);
  EXPECT_EQ(List[0], Fw.Volume(0).Handle());
  EXPECT_EQ(List[1], Fw.Volume(1).Handle());
  EXPECT_NE(List[0], Handle);
  EXPECT_TRUE(Fw.IsPoolMemory(List));
  EXPECT_FALSE(Fw.AllPoolFreed());
  FreePool(List);
  EXPECT_TRUE(Fw.Clean());
}

class FakeFileTest : public FirmwareTest {
protected:
  void SetUp() override {
    FakeVolume &Volume = Fw.AddVolume();
    ASSERT_EQ(Volume.Protocol()->OpenVolume(Volume.Protocol(), &Root), EFI_SUCCESS);
  }
  void TearDown() override {
    Root->Close(Root);
    FirmwareTest::TearDown();
  }
  EFI_STATUS Open(const char16_t *Name, UINT64 Mode, EFI_FILE_PROTOCOL **File) {
    return Root->Open(Root, File, MutableText(Name), Mode, 0);
  }
  static constexpr UINT64 CreateMode =
      EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
  EFI_FILE_PROTOCOL *Root = nullptr;
};

TEST_F(FakeFileTest, ExistingFilesAreWrittenFromTheStartAndCutBySetInfo) {
  Fw.Volume().PutFile("a.bin", {1, 2, 3, 4, 5, 6});
  EFI_FILE_PROTOCOL *File = nullptr;
  ASSERT_EQ(Open(u"a.bin", CreateMode, &File), EFI_SUCCESS);
  UINT8 Data[2] = {9, 8};
  UINTN Size = sizeof Data;
  ASSERT_EQ(File->Write(File, &Size, Data), EFI_SUCCESS);
  EXPECT_EQ(*Fw.Volume().File("a.bin"), (std::vector<UINT8>{9, 8, 3, 4, 5, 6}));

  UINTN InfoSize = 0;
  ASSERT_EQ(File->GetInfo(File, &gEfiFileInfoGuid, &InfoSize, nullptr), EFI_BUFFER_TOO_SMALL);
  std::vector<UINT64> Storage(InfoSize / 8 + 1);
  auto *Info = reinterpret_cast<EFI_FILE_INFO *>(Storage.data());
  ASSERT_EQ(File->GetInfo(File, &gEfiFileInfoGuid, &InfoSize, Info), EFI_SUCCESS);
  EXPECT_EQ(Info->FileSize, 6u);
  EXPECT_EQ(ToUtf8(Info->FileName), "a.bin");
  Info->FileSize = 3;
  ASSERT_EQ(File->SetInfo(File, &gEfiFileInfoGuid, InfoSize, Info), EFI_SUCCESS);
  EXPECT_EQ(*Fw.Volume().File("a.bin"), (std::vector<UINT8>{9, 8, 3}));
  EXPECT_EQ(File->Close(File), EFI_SUCCESS);
  EXPECT_NONFATAL_FAILURE(File->Close(File), "closed handle");
  Fw.ForgetMisuse();
}

TEST_F(FakeFileTest, ReadOnlyAndFullVolumesRefuse) {
  Fw.Volume().ReadOnly = true;
  EFI_FILE_PROTOCOL *File = nullptr;
  EXPECT_EQ(Open(u"new.bin", CreateMode, &File), EFI_WRITE_PROTECTED);
  EXPECT_EQ(Fw.Volume().File("new.bin"), nullptr);

  Fw.Volume().ReadOnly = false;
  Fw.Volume().Capacity = 4;
  ASSERT_EQ(Open(u"new.bin", CreateMode, &File), EFI_SUCCESS);
  UINT8 Data[5] = {1, 2, 3, 4, 5};
  UINTN Size = sizeof Data;
  EXPECT_EQ(File->Write(File, &Size, Data), EFI_VOLUME_FULL);
  EXPECT_EQ(Size, 0u);
  EXPECT_TRUE(Fw.Volume().File("new.bin")->empty());
  Size = 4;
  EXPECT_EQ(File->Write(File, &Size, Data), EFI_SUCCESS);
  EXPECT_EQ(Fw.Volume().File("new.bin")->size(), 4u);
  EXPECT_FALSE(Fw.AllFilesClosed());
  File->Close(File);
  EXPECT_EQ(Open(u"missing.bin", EFI_FILE_MODE_READ, &File), EFI_NOT_FOUND);
  EXPECT_EQ(Open(u"bad-mode.bin", EFI_FILE_MODE_WRITE, &File), EFI_INVALID_PARAMETER);
}

} // namespace
