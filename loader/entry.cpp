#include "loader/capture_loader.h"

// gnu-efi's crt0 calls efi_main with the host calling convention.
extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  return CaptureLoaderMain(ImageHandle);
}
