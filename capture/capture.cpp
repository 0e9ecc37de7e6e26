#include "capture/capture.h"

#include "capture/volume.h"
#include "common/status.h"

EFI_GRAPHICS_OUTPUT_PROTOCOL *GraphicsOutput = nullptr;
UINT64 CaptureCounter = 0;

namespace {

constexpr UINTN FileNameBytes = 50;

EFI_STATUS WriteAll(EFI_FILE_PROTOCOL *File, const VOID *Data, UINT64 Bytes) {
  UINTN Size = static_cast<UINTN>(Bytes);
  return File->Write(File, &Size, const_cast<VOID *>(Data));
}

} // namespace

EFI_STATUS CaptureScreenToBmp(CaptureVariant Variant) {
  FileHandle Root;
  EFI_STATUS Status = OpenFirstVolumeRoot(Root);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  CHAR16 NumberedName[FileNameBytes / sizeof(CHAR16)];
  const CHAR16 *FileName = Text(u"SaveScreen.bmp");
  if (Variant == CaptureVariant::Numbered) {
    // The number is used up even if a later step fails.
    const UINT64 Number = CaptureCounter++;
    SPrint(NumberedName, FileNameBytes, Text(u"SaveScreen%02ld.bmp"), Number);
    FileName = NumberedName;
  }

  // Opened, not recreated: an older file of this name is overwritten from its
  // start and cut to the new length once the picture is complete.
  FileHandle File;
  Status =
      Root->Open(Root.Get(), File.Out(), const_cast<CHAR16 *>(FileName),
                 EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, EFI_FILE_ARCHIVE);
  if (EFI_ERROR(Status)) {
    return Fail(Status, u"Create File Error\n");
  }

  const UINT32 Width = GraphicsOutput->Mode->Info->HorizontalResolution;
  const UINT32 Height = GraphicsOutput->Mode->Info->VerticalResolution;
  // A picture whose length does not fit the header's 32-bit size field, or
  // whose pixels do not fit this firmware's address space, cannot be stored;
  // treat it like a block that cannot be had.
  if (!ScreenFitsMemory(Width, Height)) {
    return EFI_OUT_OF_RESOURCES;
  }
  const UINT64 BlockBytes = UINT64{Width} * Height * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
  const UINT64 FileBytes = BmpFileBytes(Width, Height);
  auto Block = PoolPtr<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>::Allocate(static_cast<UINTN>(BlockBytes));
  if (!Block) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = GraphicsOutput->Blt(GraphicsOutput, Block.Get(), EfiBltVideoToBltBuffer, 0, 0, 0, 0,
                               Width, Height, UINTN{Width} * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL));
  if (EFI_ERROR(Status)) {
    return Fail(Status, u"Save Screen Error\n");
  }

  if (Variant == CaptureVariant::Announced) {
    // Printed only now, so the lines never show in the picture.
    ST->ConOut->SetAttribute(ST->ConOut, EFI_TEXT_ATTR(EFI_WHITE, EFI_BLACK));
    Print(Text(u"ScreenWidth:%d,ScreenHeight:%d\n"), Width, Height);
    Print(Text(u"Start Save Screen,Don't Move Screen\n"));
  }

  // Packed before anything is written, so running out of memory here leaves
  // an existing file as it was.
  PoolPtr<UINT8> Rows(PackBmpRows(Block.Get(), Width, Height));
  if (!Rows) {
    return EFI_OUT_OF_RESOURCES;
  }

  const BmpHeader Header = BuildBmpHeader(Width, Height);
  Status = WriteAll(File.Get(), &Header, sizeof(Header));
  if (EFI_ERROR(Status)) {
    Print(Text(u"Write Bmp Header Error\n"));
    Print(Text(u"Status:%r\n"), Status);
    return Status;
  }

  Status = WriteAll(File.Get(), Rows.Get(), FileBytes - sizeof(Header));
  if (EFI_ERROR(Status)) {
    return Fail(Status, u"Write Bmp Data Error\n");
  }

  // The picture is complete; a failed cut only leaves stale bytes past bfSize.
  CutFileToLength(File.Get(), FileBytes);

  File.Close();
  Rows.Reset();
  Block.Reset();

  if (Variant == CaptureVariant::Announced) {
    Print(Text(u"\rSave is ok ,thank you"));
  }
  return EFI_SUCCESS;
}
