// The PackBmpRows cases, shared by the GoogleTest host test and the
// cross-built check of the aa64 packer (pack_rows_check.cpp): every width up
// to 33 (each tail after a packer's wide steps, and the scratch bytes those
// steps may write at a row's end), heights from a single row (which
// prefetches itself) to 7, and long rows of many wide steps and each tail.
#pragma once

#include <vector>

#include "common/uefi.h"
#include "tests/host/pattern_pixel.h"

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

// Fills a top-down block of S.Width * S.Height pixels.
inline void Fill(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, Size S) {
  for (UINT32 Y = 0; Y < S.Height; ++Y) {
    for (UINT32 X = 0; X < S.Width; ++X) {
      Block[UINTN{Y} * S.Width + X] = PatternPixel(X, Y);
    }
  }
}

} // namespace pack_rows_cases
