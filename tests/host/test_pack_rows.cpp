// PackBmpRows' wide paths against the byte-by-byte writer in bmp_reference.h,
// over every width up to 33 (each tail after the 16- and 4-pixel steps, and
// the 2 scratch bytes those steps write at a row's end) and heights from a
// single row (which prefetches itself) to 7. The block is an exact-size heap
// block and the fake pool hands out exact-size blocks filled with 0xA5, so the
// sanitizer build catches a read past the block or a write past the rows, and
// padding left unwritten or a leaked Reserved byte (never 0) shows in both.
// No memory and oversized pictures are in test_bmp.cpp.
#include "capture/capture.h"
#include "common/guards.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/fake_firmware.h"

#include <string>
#include <vector>

namespace {

class PackRowsTest : public FirmwareTest {};

TEST_F(PackRowsTest, MatchesTheReferenceForEveryWidthUpTo33) {
  struct Size {
    UINT32 Width, Height;
  };
  std::vector<Size> Sizes;
  for (UINT32 Width = 1; Width <= 33; ++Width) {
    for (UINT32 Height : {1u, 2u, 3u, 7u}) {
      Sizes.push_back({Width, Height});
    }
  }
  // Long rows: many 16-pixel steps, then each kind of tail.
  Sizes.push_back({1366, 3});
  Sizes.push_back({1921, 2});
  Sizes.push_back({1923, 2});

  for (const Size &S : Sizes) {
    SCOPED_TRACE(std::to_string(S.Width) + "x" + std::to_string(S.Height));
    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Block(UINTN{S.Width} * S.Height);
    for (UINT32 Y = 0; Y < S.Height; ++Y) {
      for (UINT32 X = 0; X < S.Width; ++X) {
        Block[UINTN{Y} * S.Width + X] = FakeFirmware::PatternPixel(X, Y);
      }
    }
    const std::vector<UINT8> Expected = reference::Rows(Block, S.Width, S.Height);

    const UINTN LiveBefore = Fw.LiveBytes();
    PoolPtr<UINT8> Rows(PackBmpRows(Block.data(), S.Width, S.Height));
    ASSERT_TRUE(Rows);
    EXPECT_TRUE(Fw.IsPoolMemory(Rows.Get()));
    EXPECT_EQ(Fw.LiveBytes() - LiveBefore, Expected.size()) << "one block of R * H bytes";
    EXPECT_EQ(std::vector<UINT8>(Rows.Get(), Rows.Get() + Expected.size()), Expected);
  }
}

} // namespace
