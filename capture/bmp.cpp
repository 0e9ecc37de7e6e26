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
