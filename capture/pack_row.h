// One row of PackBmpRows: Width 32-bit pixels at In as B,G,R bytes at Out.
// The build links one flavour per architecture: pack_row_sse2.cpp (x64),
// pack_row_neon.cpp (aa64) or pack_row_portable.cpp (everything else).
#pragma once

#include "common/uefi.h"

// Writes exactly Width * 3 bytes. ReadNext is the row PackBmpRows packs after
// this one (a flavour may prefetch it; it is never written).
void PackBmpRow(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *In,
                const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *ReadNext, UINT32 Width, UINT8 *Out);
