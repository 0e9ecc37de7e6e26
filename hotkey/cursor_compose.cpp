#include "hotkey/badge.h"

namespace {

// Further fixed offsets of a cursor file holding one image whose data starts at 22.
constexpr UINTN DataOffsetOffset = 18;
constexpr UINTN BitCountOffset = 36;
constexpr UINTN InfoHeaderBytes = 40;

UINT32 ReadU32(const UINT8 *P) {
  return UINT32{P[0]} | UINT32{P[1]} << 8 | UINT32{P[2]} << 16 | UINT32{P[3]} << 24;
}
UINT16 ReadU16(const UINT8 *P) {
  return static_cast<UINT16>(P[0] | P[1] << 8);
}

struct CursorLayout {
  UINTN Width;
  UINTN Height;
  UINT16 BitCount;
  const UINT8 *ColourTable; // 4 bytes an entry: blue, green, red, reserved
  const UINT8 *ColourPlane; // rows back to back, bottom row first
  const UINT8 *Mask;        // rows of Width / 8 bytes padded to 4, bottom row first
};

// Reads the image's size and depth and places its regions. Refuses (with
// EFI_UNSUPPORTED) before any region is placed, so nothing past the header is
// touched for an image that is not drawn.
EFI_STATUS ReadLayout(const UINT8 *Image, CursorLayout &Layout) {
  Layout.Width = Image[CursorWidthOffset];
  Layout.Height = Image[CursorHeightOffset];
  Layout.BitCount = ReadU16(Image + BitCountOffset);
  UINTN TableEntries = 0;
  switch (Layout.BitCount) {
  case 1:
    TableEntries = 2;
    break;
  case 4:
    TableEntries = 16;
    break;
  case 8:
    TableEntries = 256;
    break;
  case 24:
  case 32:
    break;
  default:
    Print(Text(u"Not Support!"));
    return EFI_UNSUPPORTED;
  }
  // The region table holds only for whole mask bytes; anything else would be
  // read from the wrong place, so it is refused rather than guessed.
  if (Layout.Width == 0 || Layout.Height == 0 || Layout.Width % 8 != 0) {
    return EFI_UNSUPPORTED;
  }
  const UINT8 *Base = Image + ReadU32(Image + DataOffsetOffset) + InfoHeaderBytes;
  Layout.ColourTable = Base;
  Layout.ColourPlane = Base + TableEntries * 4;
  Layout.Mask = Layout.ColourPlane + Layout.Width * Layout.Height * Layout.BitCount / 8;
  return EFI_SUCCESS;
}

void ApplyMask(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, const CursorLayout &Layout) {
  const UINTN RowBytes = Layout.Width / 8;
  const UINTN Stride = (RowBytes + 3) & ~UINTN{3};
  for (UINTN Stored = 0; Stored < Layout.Height; ++Stored) {
    const UINT8 *Bits = Layout.Mask + Stored * Stride;
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Row = Block + (Layout.Height - 1 - Stored) * Layout.Width;
    for (UINTN X = 0; X < Layout.Width; ++X) {
      if ((Bits[X / 8] & (0x80 >> (X % 8))) == 0) {
        Row[X].Blue = Row[X].Green = Row[X].Red = 0; // Reserved stays
      }
    }
  }
}

void XorColour(EFI_GRAPHICS_OUTPUT_BLT_PIXEL &Pixel, const UINT8 *BlueGreenRed) {
  Pixel.Blue ^= BlueGreenRed[0];
  Pixel.Green ^= BlueGreenRed[1];
  Pixel.Red ^= BlueGreenRed[2];
}

// Index of pixel X in a row of an indexed plane; Row points at the row start.
UINTN IndexAt(const UINT8 *Row, UINTN X, UINT16 BitCount) {
  switch (BitCount) {
  case 1:
    return (Row[X / 8] >> (7 - X % 8)) & 1;
  case 4:
    return X % 2 == 0 ? Row[X / 2] >> 4 : Row[X / 2] & 0x0F;
  default:
    return Row[X];
  }
}

void ApplyColour(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, const CursorLayout &Layout) {
  // Rows are back to back; a 1- or 4-bit row that ends inside a byte leaves
  // the rest of that byte unused.
  const UINTN RowBytes = (Layout.Width * Layout.BitCount + 7) / 8;
  for (UINTN Stored = 0; Stored < Layout.Height; ++Stored) {
    const UINT8 *Source = Layout.ColourPlane + Stored * RowBytes;
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Row = Block + (Layout.Height - 1 - Stored) * Layout.Width;
    for (UINTN X = 0; X < Layout.Width; ++X) {
      if (Layout.BitCount >= 24) {
        XorColour(Row[X], Source + X * (Layout.BitCount / 8));
      } else {
        // 1-bit images go through their two-entry table like the other indexed
        // depths, so a monochrome cursor draws as its author made it.
        XorColour(Row[X], Layout.ColourTable + IndexAt(Source, X, Layout.BitCount) * 4);
      }
    }
  }
}

} // namespace

EFI_STATUS ComposeCursorImage(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, const UINT8 *Image) {
  CursorLayout Layout = {};
  EFI_STATUS Status = ReadLayout(Image, Layout);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  ApplyMask(Block, Layout);
  ApplyColour(Block, Layout);
  return EFI_SUCCESS;
}
