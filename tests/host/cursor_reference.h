// Independent cursor helpers for the badge tests, sharing no code with
// hotkey/: a builder that lays out a one-image cursor file from a per-pixel
// description, the expected result of drawing it ("opaque: the image colour;
// transparent: screen xor colour"), and a reader of the built-in badge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "common/uefi.h"
#include "tests/host/bmp_reference.h"

inline bool operator==(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &A,
                       const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &B) {
  return A.Blue == B.Blue && A.Green == B.Green && A.Red == B.Red && A.Reserved == B.Reserved;
}
inline bool operator!=(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &A,
                       const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &B) {
  return !(A == B);
}

namespace cursor {

using Pixel = EFI_GRAPHICS_OUTPUT_BLT_PIXEL;

struct Colour {
  UINT8 Blue, Green, Red;
};

// One pixel as its author means it: a table index (1, 4, 8 bits) or a colour
// (24, 32 bits), and whether the mask makes it opaque.
struct CursorPixel {
  UINT8 Index;
  Colour Direct;
  bool Opaque;
};

struct Picture {
  UINT8 Width = 0;
  UINT8 Height = 0;
  UINT16 BitCount = 0;
  std::vector<Colour> Table;       // 1 << BitCount entries for the indexed depths
  std::vector<CursorPixel> Pixels; // top-down, Width a row
  UINT32 Gap = 0;                  // unused bytes between the info header and the data

  Colour ColourAt(UINTN X, UINTN Y) const {
    const CursorPixel &P = Pixels[Y * Width + X];
    return BitCount <= 8 ? Table[P.Index] : P.Direct;
  }
  bool OpaqueAt(UINTN X, UINTN Y) const { return Pixels[Y * Width + X].Opaque; }
};

// Filler the reader must never take for data.
constexpr UINT8 GapFiller = 0xC3;
constexpr UINT8 TableReservedFiller = 0x5A;
constexpr UINT8 AlphaFiller = 0xEE;
constexpr UINT8 MaskPadFiller = 0x00; // read as mask it would make pixels opaque

// A file of exactly its own size on the heap, so ASan sees any read past it.
struct File {
  std::unique_ptr<UINT8[]> Bytes;
  size_t Size = 0;
  const UINT8 *Data() const { return Bytes.get(); }
};

inline File Exact(const std::vector<UINT8> &Bytes) {
  File Out;
  Out.Size = Bytes.size();
  Out.Bytes.reset(new UINT8[Bytes.size()]);
  std::memcpy(Out.Bytes.get(), Bytes.data(), Bytes.size());
  return Out;
}

using reference::Put16;
using reference::Put32;

// Directory (6 bytes), one entry (16 bytes) and BITMAPINFOHEADER (40 bytes).
inline std::vector<UINT8> Headers(UINT8 Width, UINT8 Height, UINT16 BitCount, uint32_t Gap,
                                  uint32_t DataBytes) {
  std::vector<UINT8> Out;
  Put16(Out, 0); // reserved
  Put16(Out, 2); // type: cursor
  Put16(Out, 1); // one image
  Out.push_back(Width);
  Out.push_back(Height);
  Out.push_back(BitCount < 8 ? static_cast<UINT8>(1u << BitCount) : 0); // colours
  Out.push_back(0);                                                     // reserved
  Put16(Out, 0);                                                        // hot spot X
  Put16(Out, 0);                                                        // hot spot Y
  Put32(Out, 40 + Gap + DataBytes);                                     // bytes in the image
  Put32(Out, 22 + Gap);                                                 // where it starts
  Put32(Out, 40);
  Put32(Out, Width);
  Put32(Out, uint32_t{Height} * 2); // colour plane and mask
  Put16(Out, 1);
  Put16(Out, BitCount);
  Put32(Out, 0); // BI_RGB
  Put32(Out, DataBytes);
  Put32(Out, 0);
  Put32(Out, 0);
  Put32(Out, 0);
  Put32(Out, 0);
  return Out;
}

// Colour table, colour plane (rows back to back, bottom row first), then the
// mask (1 = transparent, leftmost pixel in bit 7, rows padded to 4 bytes).
inline File Build(const Picture &P) {
  std::vector<UINT8> Data;
  if (P.BitCount <= 8) {
    for (const Colour &C : P.Table) {
      Data.insert(Data.end(), {C.Blue, C.Green, C.Red, TableReservedFiller});
    }
  }
  for (int Row = P.Height - 1; Row >= 0; --Row) {
    const CursorPixel *Line = &P.Pixels[size_t(Row) * P.Width];
    switch (P.BitCount) {
    case 1:
    case 4:
    case 8: {
      const unsigned PerByte = 8 / P.BitCount;
      for (unsigned X = 0; X < P.Width; X += PerByte) {
        UINT8 Byte = 0;
        for (unsigned K = 0; K < PerByte; ++K) {
          Byte = static_cast<UINT8>(Byte << P.BitCount | Line[X + K].Index);
        }
        Data.push_back(Byte);
      }
      break;
    }
    default:
      for (unsigned X = 0; X < P.Width; ++X) {
        const Colour &C = Line[X].Direct;
        Data.insert(Data.end(), {C.Blue, C.Green, C.Red});
        if (P.BitCount == 32) {
          Data.push_back(AlphaFiller);
        }
      }
    }
  }
  const unsigned MaskRowBytes = P.Width / 8;
  for (int Row = P.Height - 1; Row >= 0; --Row) {
    const CursorPixel *Line = &P.Pixels[size_t(Row) * P.Width];
    for (unsigned Byte = 0; Byte < MaskRowBytes; ++Byte) {
      UINT8 Bits = 0;
      for (unsigned K = 0; K < 8; ++K) {
        Bits = static_cast<UINT8>(Bits << 1 | (Line[Byte * 8 + K].Opaque ? 0 : 1));
      }
      Data.push_back(Bits);
    }
    for (unsigned Pad = MaskRowBytes; Pad % 4 != 0; ++Pad) {
      Data.push_back(MaskPadFiller);
    }
  }
  std::vector<UINT8> Out =
      Headers(P.Width, P.Height, P.BitCount, P.Gap, static_cast<uint32_t>(Data.size()));
  Out.insert(Out.end(), P.Gap, GapFiller);
  Out.insert(Out.end(), Data.begin(), Data.end());
  return Exact(Out);
}

// The drawing rule, pixel by pixel; Under is the W x H rectangle underneath.
inline std::vector<Pixel> Drawn(const Picture &P, const std::vector<Pixel> &Under) {
  std::vector<Pixel> Out = Under;
  for (UINTN Y = 0; Y < P.Height; ++Y) {
    for (UINTN X = 0; X < P.Width; ++X) {
      Pixel &At = Out[Y * P.Width + X];
      const Colour C = P.ColourAt(X, Y);
      if (P.OpaqueAt(X, Y)) {
        At.Blue = C.Blue;
        At.Green = C.Green;
        At.Red = C.Red;
      } else {
        At.Blue ^= C.Blue;
        At.Green ^= C.Green;
        At.Red ^= C.Red;
      }
    }
  }
  return Out;
}

// The same rule applied to a screen at (Left, Top).
inline std::vector<Pixel> DrawnOnScreen(const Picture &P, std::vector<Pixel> Screen,
                                        UINTN ScreenWidth, UINTN Left, UINTN Top) {
  std::vector<Pixel> Under(size_t{P.Width} * P.Height);
  for (UINTN Y = 0; Y < P.Height; ++Y) {
    for (UINTN X = 0; X < P.Width; ++X) {
      Under[Y * P.Width + X] = Screen[(Top + Y) * ScreenWidth + Left + X];
    }
  }
  const std::vector<Pixel> Over = Drawn(P, Under);
  for (UINTN Y = 0; Y < P.Height; ++Y) {
    for (UINTN X = 0; X < P.Width; ++X) {
      Screen[(Top + Y) * ScreenWidth + Left + X] = Over[Y * P.Width + X];
    }
  }
  return Screen;
}

// Reads a square 24-bit cursor file laid out as the builder lays it out
// (header checked by the caller) back into a description.
inline Picture Read24(const UINT8 *Image, UINT8 Side) {
  Picture P;
  P.Width = P.Height = Side;
  P.BitCount = 24;
  P.Pixels.resize(size_t{Side} * Side);
  const UINT8 *Plane = Image + 22 + 40;
  const UINT8 *Mask = Plane + size_t{Side} * Side * 3;
  const size_t MaskRowBytes = (Side / 8 + 3) / 4 * 4;
  for (size_t Y = 0; Y < Side; ++Y) {
    const size_t Stored = Side - 1 - Y;
    for (size_t X = 0; X < Side; ++X) {
      const UINT8 *C = Plane + (Stored * Side + X) * 3;
      CursorPixel &Out = P.Pixels[Y * Side + X];
      Out.Direct = {C[0], C[1], C[2]};
      Out.Opaque = (Mask[Stored * MaskRowBytes + X / 8] & (0x80 >> (X % 8))) == 0;
    }
  }
  return P;
}

// Equal pixel vectors, or where (x, y) they first differ.
inline ::testing::AssertionResult SamePixels(const std::vector<Pixel> &Actual,
                                             const std::vector<Pixel> &Expected, UINTN Width) {
  if (Actual.size() != Expected.size()) {
    return ::testing::AssertionFailure()
           << Actual.size() << " pixels, expected " << Expected.size();
  }
  size_t Wrong = 0;
  auto Result = ::testing::AssertionFailure();
  for (size_t I = 0; I < Actual.size(); ++I) {
    if (Actual[I] != Expected[I]) {
      if (++Wrong <= 5) {
        const Pixel &A = Actual[I];
        const Pixel &E = Expected[I];
        Result << "\n  (" << I % Width << "," << I / Width << ") BGRX " << int(A.Blue) << ","
               << int(A.Green) << "," << int(A.Red) << "," << int(A.Reserved) << " expected "
               << int(E.Blue) << "," << int(E.Green) << "," << int(E.Red) << "," << int(E.Reserved);
      }
    }
  }
  if (Wrong == 0) {
    return ::testing::AssertionSuccess();
  }
  return Result << "\n  " << Wrong << " of " << Actual.size() << " pixels differ";
}

} // namespace cursor
