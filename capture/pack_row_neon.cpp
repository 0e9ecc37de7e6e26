// PackBmpRow with Advanced SIMD, which UEFI enables on AArch64: a
// de-interleaving load splits 16 pixels into their B, G, R and Reserved
// bytes, and an interleaving store writes back B, G, R only. Neither needs
// alignment and neither touches a byte outside the pixels it moves. As on
// x64, the row read next (the one above: rows go bottom-up) is prefetched.
#include "capture/pack_row.h"

#include <arm_neon.h>

void PackBmpRow(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *In,
                const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *ReadNext, UINT32 Width, UINT8 *Out) {
  UINT32 X = 0;
  for (; X + 16 <= Width; X += 16, Out += 48) {
    __builtin_prefetch(ReadNext + X);
    const uint8x16x4_t Pixels = vld4q_u8(reinterpret_cast<const UINT8 *>(In + X));
    const uint8x16x3_t Packed = {{Pixels.val[0], Pixels.val[1], Pixels.val[2]}};
    vst3q_u8(Out, Packed);
  }
  for (; X + 8 <= Width; X += 8, Out += 24) {
    const uint8x8x4_t Pixels = vld4_u8(reinterpret_cast<const UINT8 *>(In + X));
    const uint8x8x3_t Packed = {{Pixels.val[0], Pixels.val[1], Pixels.val[2]}};
    vst3_u8(Out, Packed);
  }
  for (; X < Width; ++X, Out += 3) {
    Out[0] = In[X].Blue;
    Out[1] = In[X].Green;
    Out[2] = In[X].Red;
  }
}
