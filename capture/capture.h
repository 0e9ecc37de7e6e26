// Capture core shared by both drivers: read the whole screen through the
// graphics output protocol and save it as a 24-bit BMP on the first volume.
#pragma once

#include "common/uefi.h"

enum class CaptureVariant {
  Numbered,  // SaveScreenNN.bmp per call, errors only on the console
  Announced, // SaveScreen.bmp, with progress lines on the console
};

#pragma pack(push, 1)
struct BmpHeader {
  UINT8 bfType[2];
  UINT32 bfSize;
  UINT16 bfReserved1;
  UINT16 bfReserved2;
  UINT32 bfOffBits;
  UINT32 biSize;
  UINT32 biWidth;
  UINT32 biHeight;
  UINT16 biPlanes;
  UINT16 biBitCount;
  UINT32 biCompression;
  UINT32 biSizeImage;
  UINT32 biXPelsPerMeter;
  UINT32 biYPelsPerMeter;
  UINT32 biClrUsed;
  UINT32 biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(BmpHeader) == 54, "BMP file header + BITMAPINFOHEADER");

// Set by the driver's entry point before any capture can run.
extern EFI_GRAPHICS_OUTPUT_PROTOCOL *GraphicsOutput;
// Next file number of the Numbered variant; counts from 0 on every load.
extern UINT64 CaptureCounter;

// Bytes in one stored row: W * 3 rounded up to a multiple of 4.
constexpr UINT64 BmpRowBytes(UINT32 Width) {
  return (UINT64{Width} * 3 + 3) & ~UINT64{3};
}
// False when the file would not fit the header's 32-bit size field; every
// size below is then also far from wrapping.
constexpr bool BmpSizeFits(UINT32 Width, UINT32 Height) {
  UINT64 RowsBytes = 0;
  return !__builtin_mul_overflow(BmpRowBytes(Width), UINT64{Height}, &RowsBytes) &&
         RowsBytes <= UINT64{0xFFFFFFFF} - sizeof(BmpHeader);
}
// Largest value a UINTN holds: 2^32 - 1 on IA-32.
constexpr UINT64 MaxUintn = static_cast<UINTN>(~UINTN{0});
// False when the screen's 32-bit pixel block or its BMP would not fit a
// UINTN (Limit): every size is computed in 64 bits, and one that a 32-bit
// firmware cannot allocate is refused rather than cut short.
constexpr bool ScreenFitsMemory(UINT32 Width, UINT32 Height, UINT64 Limit = MaxUintn) {
  // BmpSizeFits first: with it, W * H * 4 is far from wrapping 64 bits.
  return BmpSizeFits(Width, Height) &&
         UINT64{Width} * Height * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL) <= Limit &&
         BmpRowBytes(Width) * Height <= Limit;
}
// Whole file: header plus H rows (only meaningful when BmpSizeFits).
constexpr UINT64 BmpFileBytes(UINT32 Width, UINT32 Height) {
  return sizeof(BmpHeader) + BmpRowBytes(Width) * Height;
}

BmpHeader BuildBmpHeader(UINT32 Width, UINT32 Height);

// Bottom-up 24-bit rows of a top-down 32-bit block, in a new pool buffer of
// BmpRowBytes(W) * H bytes (the caller frees it), or nullptr without memory
// or when !ScreenFitsMemory(W, H).
UINT8 *PackBmpRows(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, UINT32 Width, UINT32 Height);

EFI_STATUS CaptureScreenToBmp(CaptureVariant Variant);
