// BMP layout of the capture core: BuildBmpHeader and PackBmpRows against the
// independent writer in bmp_reference.h and against sizes worked out by hand.
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/fake_firmware.h"

namespace {

struct SizeCase {
  UINT32 Width;
  UINT32 Height;
  UINT64 RowBytes;  // by hand
  UINT32 FileBytes; // by hand: 54 + RowBytes * Height
};

const SizeCase Sizes[] = {
    {1, 1, 4, 58},                      // 3 pixel bytes + 1 zero
    {4, 2, 12, 78},                     // no padding
    {5, 1, 16, 70},                     // 15 pixel bytes + 1 zero
    {2, 3, 8, 78},                      // 6 + 2
    {3, 2, 12, 78},                     // 9 + 3
    {1024, 768, 3072, 54 + 3072 * 768}, // a real screen
};

std::string Describe(const SizeCase &Case) {
  return std::to_string(Case.Width) + "x" + std::to_string(Case.Height);
}

std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> PatternBlock(UINT32 Width, UINT32 Height) {
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Block(size_t{Width} * Height);
  for (UINT32 Y = 0; Y < Height; ++Y) {
    for (UINT32 X = 0; X < Width; ++X) {
      Block[size_t{Y} * Width + X] = FakeFirmware::PatternPixel(X, Y); // Reserved != 0
    }
  }
  return Block;
}

TEST(BmpHeaderTest, HeaderBytesFollowTheFormat) {
  for (const SizeCase &Case : Sizes) {
    SCOPED_TRACE(Describe(Case));
    const BmpHeader Header = BuildBmpHeader(Case.Width, Case.Height);
    EXPECT_EQ(UINT32{Header.bfSize}, Case.FileBytes); // a copy: the field is packed
    EXPECT_EQ(BmpRowBytes(Case.Width), Case.RowBytes);
    EXPECT_EQ(BmpFileBytes(Case.Width, Case.Height), Case.FileBytes);
    std::vector<UINT8> Bytes(sizeof Header);
    std::memcpy(Bytes.data(), &Header, sizeof Header);
    EXPECT_EQ(Bytes, reference::Header(Case.Width, Case.Height));
  }
}

class PackBmpRowsTest : public FirmwareTest {
protected:
  // Packs Block and hands back the bytes, checking they sit in exactly one
  // pool block of RowBytes * Height.
  std::vector<UINT8> Pack(const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> &Block, UINT32 Width,
                          UINT32 Height) {
    UINT8 *Rows = PackBmpRows(Block.data(), Width, Height);
    if (Rows == nullptr) {
      ADD_FAILURE() << "PackBmpRows returned nullptr";
      return {};
    }
    const size_t Bytes = BmpRowBytes(Width) * Height;
    EXPECT_EQ(Fw.LiveAllocations(), 1u);
    EXPECT_EQ(Fw.LiveBytes(), Bytes);
    EXPECT_TRUE(Fw.IsPoolMemory(Rows));
    std::vector<UINT8> Out(Rows, Rows + Bytes);
    FreePool(Rows);
    return Out;
  }
};

TEST_F(PackBmpRowsTest, RowsMatchTheReferenceForEverySize) {
  for (const SizeCase &Case : Sizes) {
    SCOPED_TRACE(Describe(Case));
    const auto Block = PatternBlock(Case.Width, Case.Height);
    EXPECT_EQ(Pack(Block, Case.Width, Case.Height),
              reference::Rows(Block, Case.Width, Case.Height));
  }
}

TEST_F(PackBmpRowsTest, HandWorkedExamples) {
  // One pixel: B, G, R and one zero; Reserved stays out.
  EXPECT_EQ(Pack({{0x11, 0x22, 0x33, 0x44}}, 1, 1), (std::vector<UINT8>{0x11, 0x22, 0x33, 0x00}));

  // 4 x 2: 12-byte rows without padding, the bottom screen row first.
  const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> TwoRows = {
      {0x10, 0x11, 0x12, 0xFF}, {0x13, 0x14, 0x15, 0xFF},
      {0x16, 0x17, 0x18, 0xFF}, {0x19, 0x1A, 0x1B, 0xFF}, // top
      {0x20, 0x21, 0x22, 0xFF}, {0x23, 0x24, 0x25, 0xFF},
      {0x26, 0x27, 0x28, 0xFF}, {0x29, 0x2A, 0x2B, 0xFF}, // bottom
  };
  EXPECT_EQ(
      Pack(TwoRows, 4, 2),
      (std::vector<UINT8>{0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B,
                          0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B}));

  // Width 5: 15 pixel bytes and one zero per row.
  const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Five(5, {1, 2, 3, 0xEE});
  EXPECT_EQ(Pack(Five, 5, 1), (std::vector<UINT8>{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 0}));
}

TEST_F(PackBmpRowsTest, NoMemoryGivesNullptr) {
  const auto Block = PatternBlock(4, 2);
  Fw.FailAllocation(1);
  EXPECT_EQ(PackBmpRows(Block.data(), 4, 2), nullptr);
  EXPECT_EQ(Fw.CallCount(FwCall::AllocatePool), 1u);
  EXPECT_EQ(Fw.LiveAllocations(), 0u);
}

TEST_F(PackBmpRowsTest, PictureTooLargeForTheSizeFieldGivesNullptrWithoutAllocating) {
  // 65536 x 65536 needs 12 GiB of rows: more than bfSize can hold. The block
  // is never read (ASan would see it).
  const EFI_GRAPHICS_OUTPUT_BLT_PIXEL One = {};
  EXPECT_EQ(PackBmpRows(&One, 0x10000, 0x10000), nullptr);
  EXPECT_EQ(Fw.CallCount(FwCall::AllocatePool), 0u);
}

} // namespace

namespace {

// On a 32-bit firmware (UINTN of 32 bits) a screen whose pixel block passes
// 4 GiB must be refused even though its BMP would fit the size field; the
// same screen is fine with 64-bit sizes.
TEST(ScreenFitsMemoryTest, RefusesWhatAUintnCannotHold) {
  constexpr UINT64 Ia32 = 0xFFFFFFFF;
  constexpr UINT64 X64 = ~UINT64{0};
  struct Case {
    UINT32 Width, Height;
    UINT64 Limit;
    bool Fits;
  } Cases[] = {
      {1920, 1080, Ia32, true},       {16384, 65535, Ia32, true}, // block 4 GiB - 256 KiB
      {16384, 65536, Ia32, false},                                // block exactly 4 GiB
      {16384, 65536, X64, true},                                  // BMP 3 GiB: fits the size field
      {32768, 32768, Ia32, false},                                // block 4 GiB, BMP 3 GiB
      {0x10000, 0x10000, X64, false},                             // BMP past the size field
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(ScreenFitsMemory(C.Width, C.Height, C.Limit), C.Fits)
        << C.Width << "x" << C.Height << " limit " << C.Limit;
  }
  EXPECT_EQ(MaxUintn, UINT64{static_cast<UINTN>(-1)});
}

} // namespace
