#include "hotkey/hotkey_capture.h"

// gnu-efi's crt0 calls efi_main with the host calling convention.
extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  return HotKeyCaptureMain(ImageHandle, SystemTable);
}
