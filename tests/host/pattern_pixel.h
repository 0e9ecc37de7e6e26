// The test screens' pixel pattern: distinct colours per pixel, and a
// Reserved byte that is never 0, so it shows wherever it leaks.
#pragma once

#include "common/uefi.h"

inline EFI_GRAPHICS_OUTPUT_BLT_PIXEL PatternPixel(UINT32 X, UINT32 Y) {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL Pixel;
  Pixel.Blue = static_cast<UINT8>(X * 7 + Y * 3 + 1);
  Pixel.Green = static_cast<UINT8>(X * 13 + Y * 29 + 2);
  Pixel.Red = static_cast<UINT8>((X ^ (Y * 5)) + 3);
  Pixel.Reserved = static_cast<UINT8>(0xA0 | ((X + Y) & 0x0F));
  return Pixel;
}
