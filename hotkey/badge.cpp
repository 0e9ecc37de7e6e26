#include "hotkey/badge.h"

#include "capture/capture.h"
#include "common/guards.h"
#include "hotkey/badge_image.h"

namespace {
constexpr UINTN BadgeSide = 64;
} // namespace

EFI_STATUS DrawCursorImage(EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop, const UINT8 *Image, UINTN X, UINTN Y,
                           UINTN Width, UINTN Height) {
  // The block is composed at the image's own size; any other size would be
  // written past its end.
  if (Width != Image[CursorWidthOffset] || Height != Image[CursorHeightOffset]) {
    return EFI_INVALID_PARAMETER;
  }
  const UINTN Delta = Width * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
  auto Block = PoolPtr<EFI_GRAPHICS_OUTPUT_BLT_PIXEL, PoolRelease::BootServices>::AllocateZero(
      Delta * Height);
  if (!Block) {
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_STATUS Status =
      Gop->Blt(Gop, Block.Get(), EfiBltVideoToBltBuffer, X, Y, 0, 0, Width, Height, Delta);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // Nothing is drawn for an image the composer refuses.
  Status = ComposeCursorImage(Block.Get(), Image);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = Gop->Blt(Gop, Block.Get(), EfiBltBufferToVideo, 0, 0, X, Y, Width, Height, Delta);
  return EFI_ERROR(Status) ? Status : EFI_SUCCESS;
}

EFI_STATUS ShowSaveBadge(UINTN X, UINTN Y) {
  return DrawCursorImage(GraphicsOutput, BadgeImage, X, Y, BadgeSide, BadgeSide);
}
