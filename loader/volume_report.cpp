#include "loader/volume_report.h"

namespace {

constexpr UINTN MaxLabelChars = 64;

// Copies the label in Info (GetInfo of Type on Root) to Label, without
// trailing spaces (FAT pads labels). Label stays empty when there is none.
void ReadLabelAs(EFI_FILE_PROTOCOL *Root, EFI_GUID *Type, UINTN LabelOffset,
                 CHAR16 (&Label)[MaxLabelChars]) {
  UINTN Size = 0;
  EFI_STATUS Status = Root->GetInfo(Root, Type, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL || Size <= LabelOffset) {
    return;
  }
  auto Info = PoolPtr<UINT8>::Allocate(Size);
  if (!Info) {
    return;
  }
  Status = Root->GetInfo(Root, Type, &Size, Info.Get());
  if (EFI_ERROR(Status) || Size <= LabelOffset) {
    return;
  }
  // Read no further than the firmware said it wrote, NUL or not.
  const UINTN Chars = (Size - LabelOffset) / sizeof(CHAR16);
  UINTN Length = 0;
  for (; Length < Chars && Length + 1 < MaxLabelChars; ++Length) {
    CHAR16 Char;
    CopyMem(&Char, Info.Get() + LabelOffset + Length * sizeof(CHAR16), sizeof Char);
    if (Char == 0) {
      break;
    }
    Label[Length] = Char;
  }
  while (Length > 0 && Label[Length - 1] == u' ') {
    --Length;
  }
  Label[Length] = 0;
}

// The firmware's own text for a device path (as its shell and boot messages
// show it) in pool memory, or libefi's when the firmware has no converter;
// nullptr when there is none. libefi's is only the fallback: it writes through
// the result of an allocation that failed.
CHAR16 *DevicePathText(EFI_DEVICE_PATH *Path) {
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *ToText = nullptr;
  EFI_STATUS Status = BS->LocateProtocol(&gEfiDevicePathToTextProtocolGuid, nullptr,
                                         reinterpret_cast<VOID **>(&ToText));
  if (!EFI_ERROR(Status) && ToText != nullptr) {
    return ToText->ConvertDevicePathToText(Path, FALSE, FALSE);
  }
  return DevicePathToStr(Path);
}

void ReadVolumeLabel(EFI_HANDLE Volume, CHAR16 (&Label)[MaxLabelChars]) {
  Label[0] = 0;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = nullptr;
  EFI_STATUS Status = BS->HandleProtocol(Volume, &gEfiSimpleFileSystemProtocolGuid,
                                         reinterpret_cast<VOID **>(&FileSystem));
  if (EFI_ERROR(Status)) {
    return;
  }
  FileHandle Root;
  Status = FileSystem->OpenVolume(FileSystem, Root.Out());
  if (EFI_ERROR(Status)) {
    return;
  }
  ReadLabelAs(Root.Get(), &gEfiFileSystemVolumeLabelInfoIdGuid,
              SIZE_OF_EFI_FILE_SYSTEM_VOLUME_LABEL_INFO, Label);
  if (Label[0] == 0) {
    ReadLabelAs(Root.Get(), &gEfiFileSystemInfoGuid, SIZE_OF_EFI_FILE_SYSTEM_INFO, Label);
  }
}

} // namespace

void ReportPictureVolume() {
  UINTN Count = 0;
  PoolPtr<EFI_HANDLE> Handles;
  EFI_STATUS Status = BS->LocateHandleBuffer(ByProtocol, &gEfiSimpleFileSystemProtocolGuid, nullptr,
                                             &Count, Handles.Out());
  if (EFI_ERROR(Status) || Count == 0 || !Handles) {
    Print(Text(u"No file-system volume found: Ctrl+Alt+F9 saves nothing until one appears.\n"));
    return;
  }
  EFI_DEVICE_PATH *DevicePath = DevicePathFromHandle(Handles[0]);
  PoolPtr<CHAR16> PathText(DevicePath != nullptr ? DevicePathText(DevicePath) : nullptr);
  CHAR16 Label[MaxLabelChars];
  ReadVolumeLabel(Handles[0], Label);

  const CHAR16 *Where = PathText ? PathText.Get() : Text(u"(no device path)");
  if (Label[0] != 0) {
    Print(Text(u"Pictures go to the first file-system volume: %s \"%s\"\n"), Where, Label);
  } else {
    Print(Text(u"Pictures go to the first file-system volume: %s\n"), Where);
  }
  Print(Text(u"Ctrl+Alt+F9 saves the screen there as SaveScreen00.bmp, SaveScreen01.bmp, ...\n"));
}
