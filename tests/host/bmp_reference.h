// An independent BMP writer for the tests: byte by byte, from the format's
// rules, sharing no code with capture/bmp.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/uefi.h"

namespace reference {

inline void Put16(std::vector<UINT8> &Out, uint32_t Value) {
  Out.push_back(static_cast<UINT8>(Value));
  Out.push_back(static_cast<UINT8>(Value >> 8));
}

inline void Put32(std::vector<UINT8> &Out, uint32_t Value) {
  Put16(Out, Value & 0xFFFF);
  Put16(Out, Value >> 16);
}

// Rows of 24-bit pixels are padded to whole 32-bit words.
inline std::size_t Stride(uint32_t Width) {
  return (std::size_t{Width} * 24 + 31) / 32 * 4;
}

// File header (14 bytes) + BITMAPINFOHEADER (40 bytes), little-endian.
inline std::vector<UINT8> Header(uint32_t Width, uint32_t Height) {
  const uint32_t PixelBytes = static_cast<uint32_t>(Stride(Width) * Height);
  std::vector<UINT8> Out;
  Out.push_back('B');
  Out.push_back('M');
  Put32(Out, 14 + 40 + PixelBytes); // bfSize
  Put16(Out, 0);                    // bfReserved1
  Put16(Out, 0);                    // bfReserved2
  Put32(Out, 14 + 40);              // bfOffBits
  Put32(Out, 40);                   // biSize
  Put32(Out, Width);                // biWidth
  Put32(Out, Height);               // biHeight > 0: bottom-up
  Put16(Out, 1);                    // biPlanes
  Put16(Out, 24);                   // biBitCount
  Put32(Out, 0);                    // biCompression: BI_RGB
  Put32(Out, 0);                    // biSizeImage: may be 0 for BI_RGB
  Put32(Out, 2834);                 // biXPelsPerMeter (72 dpi)
  Put32(Out, 2834);                 // biYPelsPerMeter
  Put32(Out, 0);                    // biClrUsed
  Put32(Out, 0);                    // biClrImportant
  return Out;
}

// Pixel rows of a top-down screen, stored bottom row first, each B, G, R per
// pixel and zero bytes up to the stride.
inline std::vector<UINT8> Rows(const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> &Screen,
                               uint32_t Width, uint32_t Height) {
  const std::size_t RowBytes = Stride(Width);
  std::vector<UINT8> Out(RowBytes * Height, 0);
  for (uint32_t StoredRow = 0; StoredRow < Height; ++StoredRow) {
    const uint32_t ScreenRow = Height - 1 - StoredRow;
    for (uint32_t X = 0; X < Width; ++X) {
      const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &Pixel = Screen[std::size_t{ScreenRow} * Width + X];
      UINT8 *At = &Out[StoredRow * RowBytes + std::size_t{X} * 3];
      At[0] = Pixel.Blue;
      At[1] = Pixel.Green;
      At[2] = Pixel.Red;
    }
  }
  return Out;
}

inline std::vector<UINT8> File(const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> &Screen,
                               uint32_t Width, uint32_t Height) {
  std::vector<UINT8> Out = Header(Width, Height);
  const std::vector<UINT8> Pixels = Rows(Screen, Width, Height);
  Out.insert(Out.end(), Pixels.begin(), Pixels.end());
  return Out;
}

} // namespace reference
