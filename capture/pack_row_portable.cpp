// PackBmpRow in plain C++, for processors the firmware does not promise any
// vector unit on (IA-32: UEFI 2.10, section 2.3.2, leaves SSE optional there).
#include "capture/pack_row.h"

void PackBmpRow(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *In, const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *,
                UINT32 Width, UINT8 *Out) {
  for (UINT32 X = 0; X < Width; ++X, Out += 3) {
    Out[0] = In[X].Blue;
    Out[1] = In[X].Green;
    Out[2] = In[X].Red;
  }
}
