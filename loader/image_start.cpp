#include "loader/image_start.h"

#include "loader/image_path.h"
#include "loader/resident_image.h"

EFI_STATUS LoadAndStartImage(EFI_HANDLE ImageHandle, EFI_DEVICE_PATH *Path, ImageGuard &Image) {
  EFI_STATUS Status = BS->LoadImage(FALSE, ImageHandle, Path, nullptr, 0, Image.Out());
  if (EFI_ERROR(Status)) {
    // Only with EFI_SECURITY_VIOLATION does the firmware hand out a handle
    // (the image is loaded but may not run; UEFI 2.x, LoadImage), and that one
    // must be unloaded. Any other failure leaves the handle unset.
    if (Status != EFI_SECURITY_VIOLATION) {
      Image.Release();
    }
    Image.Reset();
    return Status;
  }
  UINTN ExitDataSize = 0;
  PoolPtr<CHAR16, PoolRelease::BootServices> ExitData;
  Status = BS->StartImage(Image.Get(), &ExitDataSize, ExitData.Out());
  if (EFI_ERROR(Status)) {
    // Firmware that has already freed the failed image (UEFI 2.x, Exit: a
    // driver that returns an error) answers EFI_INVALID_PARAMETER here; the
    // unload matters on firmware that keeps it.
    Image.Reset();
    return Status;
  }
  return EFI_SUCCESS;
}

namespace {

// LoadAndStartImage of FilePath on Device.
EFI_STATUS StartFrom(EFI_HANDLE ImageHandle, EFI_HANDLE Device, const EFI_DEVICE_PATH *FilePath,
                     ImageGuard &Image) {
  // libefi: the device's own path with the file path appended.
  PoolPtr<EFI_DEVICE_PATH> Path(
      AppendDevicePath(DevicePathFromHandle(Device), const_cast<EFI_DEVICE_PATH *>(FilePath)));
  if (!Path) {
    return EFI_OUT_OF_RESOURCES;
  }
  return LoadAndStartImage(ImageHandle, Path.Get(), Image);
}

} // namespace

EFI_STATUS StartStickImage(EFI_HANDLE ImageHandle, const CHAR16 *Name, ImageGuard &Image) {
  EFI_HANDLE Device = nullptr;
  PoolPtr<EFI_DEVICE_PATH> File;
  EFI_STATUS Status = StickImageFilePath(ImageHandle, Name, Device, File);
  if (!EFI_ERROR(Status)) {
    if (ImageResident(Device, File.Get())) {
      // A second instance would answer every hot key as well.
      Print(Text(u"%s already running\n"), Name);
      return EFI_SUCCESS;
    }
    Status = StartFrom(ImageHandle, Device, File.Get(), Image);
  }
  if (EFI_ERROR(Status)) {
    Print(Text(u"Could not start %s: %r\n"), Name, Status);
    return Status;
  }
  Print(Text(u"Started %s\n"), Name);
  return EFI_SUCCESS;
}
