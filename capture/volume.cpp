#include "capture/volume.h"

EFI_STATUS OpenFirstVolumeRoot(FileHandle &Root) {
  UINTN HandleCount = 0;
  PoolPtr<EFI_HANDLE> Handles;
  EFI_STATUS Status =
      BS->LocateHandleBuffer(ByProtocol, &FileSystemProtocol, nullptr, &HandleCount, Handles.Out());
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // A successful call always lists at least one handle; do not trust it blindly.
  if (HandleCount == 0 || !Handles) {
    return EFI_NOT_FOUND;
  }

  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = nullptr;
  Status =
      BS->HandleProtocol(Handles[0], &FileSystemProtocol, reinterpret_cast<VOID **>(&FileSystem));
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return FileSystem->OpenVolume(FileSystem, Root.Out());
}

EFI_STATUS CutFileToLength(EFI_FILE_PROTOCOL *File, UINT64 Length) {
  UINTN InfoSize = 0;
  EFI_STATUS Status = File->GetInfo(File, &GenericFileInfo, &InfoSize, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) {
    return EFI_ERROR(Status) ? Status : EFI_DEVICE_ERROR;
  }
  auto Info = PoolPtr<EFI_FILE_INFO>::Allocate(InfoSize);
  if (!Info) {
    return EFI_OUT_OF_RESOURCES;
  }
  Status = File->GetInfo(File, &GenericFileInfo, &InfoSize, Info.Get());
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (Info.Get()->FileSize <= Length) {
    return EFI_SUCCESS;
  }
  Info.Get()->FileSize = Length;
  return File->SetInfo(File, &GenericFileInfo, InfoSize, Info.Get());
}
