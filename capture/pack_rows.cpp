// PackBmpRows: the screen's 32-bit pixels as a BMP's 24-bit rows.
//
// This runs over the whole screen on every capture (33 MB in, 25 MB out at
// 3840x2160). The per-row packer (pack_row.h) is the architecture's own;
// allocation, row order and padding are shared here.
#include "capture/capture.h"
#include "capture/pack_row.h"

UINT8 *PackBmpRows(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, UINT32 Width, UINT32 Height) {
  if (!ScreenFitsMemory(Width, Height)) {
    return nullptr;
  }
  const UINT64 RowBytes = BmpRowBytes(Width);
  auto *Rows = static_cast<UINT8 *>(AllocatePool(static_cast<UINTN>(RowBytes * Height)));
  if (Rows == nullptr) {
    return nullptr;
  }
  const UINTN Padding = static_cast<UINTN>(RowBytes - UINT64{Width} * 3);
  UINT8 *Out = Rows;
  for (UINT32 Row = Height; Row-- > 0;) {
    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *In = Block + UINTN{Row} * Width;
    // The row above is read next; the last row read has none, so it
    // prefetches itself.
    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *ReadNext = Row > 0 ? In - Width : In;
    PackBmpRow(In, ReadNext, Width, Out);
    Out += UINTN{Width} * 3;
    for (UINTN Pad = 0; Pad < Padding; ++Pad) {
      *Out++ = 0;
    }
  }
  return Rows;
}
