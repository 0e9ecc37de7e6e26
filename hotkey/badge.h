// The badge drawn after a hot-key capture: a cursor-format image (colour
// plane plus 1-bit mask) composed over the screen with the cursor rule.
#pragma once

#include "common/uefi.h"

// Where a cursor file holding one image keeps its size (one byte each).
constexpr UINTN CursorWidthOffset = 6;
constexpr UINTN CursorHeightOffset = 7;

// Composes a single-image cursor file into a top-down block of the image's
// own size: mask-0 pixels are cleared, then every pixel is xor-ed with the
// image colour. Returns EFI_UNSUPPORTED (block untouched) for bit counts other
// than 1, 4, 8, 24, 32 and for widths that are not a multiple of 8.
EFI_STATUS ComposeCursorImage(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Block, const UINT8 *Image);

// Draws Image with its top-left corner at (X, Y); Width and Height must be the
// image's own.
EFI_STATUS DrawCursorImage(EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop, const UINT8 *Image, UINTN X, UINTN Y,
                           UINTN Width, UINTN Height);

// Draws the built-in badge at (X, Y) through GraphicsOutput.
EFI_STATUS ShowSaveBadge(UINTN X, UINTN Y);
