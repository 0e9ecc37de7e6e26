#include "capture/capture.h"

BmpHeader BuildBmpHeader(UINT32 Width, UINT32 Height) {
  constexpr UINT32 PelsPerMeter = 2834; // 72 dpi
  BmpHeader Header = {};
  Header.bfType[0] = 'B';
  Header.bfType[1] = 'M';
  // Callers refuse screens whose file would not fit the 32-bit size field.
  Header.bfSize = static_cast<UINT32>(BmpFileBytes(Width, Height));
  Header.bfOffBits = sizeof(BmpHeader);
  Header.biSize = 40;
  Header.biWidth = Width;
  Header.biHeight = Height; // positive: rows stored bottom-up
  Header.biPlanes = 1;
  Header.biBitCount = 24;
  Header.biXPelsPerMeter = PelsPerMeter;
  Header.biYPelsPerMeter = PelsPerMeter;
  return Header;
}

UINT8 *PackBmpRows(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, UINT32 Width, UINT32 Height) {
  if (!BmpSizeFits(Width, Height)) {
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
    for (UINT32 X = 0; X < Width; ++X) {
      Out[0] = In[X].Blue;
      Out[1] = In[X].Green;
      Out[2] = In[X].Red;
      Out += 3;
    }
    for (UINTN Pad = 0; Pad < Padding; ++Pad) {
      *Out++ = 0;
    }
  }
  return Rows;
}
