#include "loader/resident_image.h"

#include "common/guards.h"
#include "loader/image_path.h"

namespace {

bool LoadedFrom(EFI_HANDLE Image, EFI_HANDLE Device, const EFI_DEVICE_PATH *FilePath,
                UINTN FilePathBytes) {
  EFI_LOADED_IMAGE *Loaded = nullptr;
  EFI_STATUS Status =
      BS->HandleProtocol(Image, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded));
  if (EFI_ERROR(Status) || Loaded == nullptr || Loaded->DeviceHandle != Device) {
    return false;
  }
  return DevicePathBytes(Loaded->FilePath) == FilePathBytes &&
         CompareMem(Loaded->FilePath, FilePath, FilePathBytes) == 0;
}

} // namespace

bool ImageResident(EFI_HANDLE Device, const EFI_DEVICE_PATH *FilePath) {
  const UINTN FilePathBytes = DevicePathBytes(FilePath);
  if (FilePathBytes == 0) {
    return false;
  }
  UINTN Count = 0;
  PoolPtr<EFI_HANDLE> Images;
  EFI_STATUS Status = BS->LocateHandleBuffer(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr,
                                             &Count, Images.Out());
  if (EFI_ERROR(Status)) {
    return false;
  }
  for (UINTN Index = 0; Index < Count; ++Index) {
    if (LoadedFrom(Images[Index], Device, FilePath, FilePathBytes)) {
      return true;
    }
  }
  return false;
}
