// PackBmpRows' wide paths against the byte-by-byte writer in bmp_reference.h,
// over the cases of pack_rows_cases.h. The block is an exact-size heap block
// and the fake pool hands out exact-size blocks filled with 0xA5, so the
// sanitizer build catches a read past the block or a write past the rows, and
// padding left unwritten or a leaked Reserved byte (never 0) shows in both.
// Built once per row packer the host can run (SSE2 and portable).
// No memory and oversized pictures are in test_bmp.cpp.
#include "capture/capture.h"
#include "common/guards.h"
#include "tests/host/bmp_reference.h"
#include "tests/host/fake_firmware.h"
#include "tests/host/pack_rows_cases.h"

#include <string>
#include <vector>

namespace {

class PackRowsTest : public FirmwareTest {};

TEST_F(PackRowsTest, MatchesTheReferenceForEveryWidthUpTo33) {
  for (const pack_rows_cases::Size &S : pack_rows_cases::Sizes()) {
    SCOPED_TRACE(std::to_string(S.Width) + "x" + std::to_string(S.Height));
    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Block(UINTN{S.Width} * S.Height);
    pack_rows_cases::Fill(Block.data(), S);
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
