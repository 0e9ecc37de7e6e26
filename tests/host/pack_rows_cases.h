// The PackBmpRows cases, shared by the GoogleTest host test and the
// cross-built check of the aa64 packer (pack_rows_check.cpp): every width up
// to 33 (each tail after a packer's wide steps, and the scratch bytes those
// steps may write at a row's end), heights from a single row (which
// prefetches itself) to 7, and long rows of many wide steps and each tail.
#pragma once

#include <vector>

#include "common/uefi.h"

namespace pack_rows_cases {

struct Size {
  UINT32 Width, Height;
};

inline std::vector<Size> Sizes() {
  std::vector<Size> Sizes;
  for (UINT32 Width = 1; Width <= 33; ++Width) {
    for (UINT32 Height : {1u, 2u, 3u, 7u}) {
      Sizes.push_back({Width, Height});
    }
  }
  Sizes.push_back({1366, 3});
  Sizes.push_back({1921, 2});
  Sizes.push_back({1923, 2});
  return Sizes;
}

// Distinct colours per pixel; Reserved is never 0, so it shows if it leaks.
inline EFI_GRAPHICS_OUTPUT_BLT_PIXEL Pixel(UINT32 X, UINT32 Y) {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL P;
  P.Blue = static_cast<UINT8>(X * 7 + Y * 3 + 1);
  P.Green = static_cast<UINT8>(X * 13 + Y * 29 + 2);
  P.Red = static_cast<UINT8>((X ^ (Y * 5)) + 3);
  P.Reserved = static_cast<UINT8>(0xA0 | ((X + Y) & 0x0F));
  return P;
}

// Fills a top-down block of S.Width * S.Height pixels.
inline void Fill(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, Size S) {
  for (UINT32 Y = 0; Y < S.Height; ++Y) {
    for (UINT32 X = 0; X < S.Width; ++X) {
      Block[UINTN{Y} * S.Width + X] = Pixel(X, Y);
    }
  }
}

} // namespace pack_rows_cases
