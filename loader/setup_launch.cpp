// How the setup is found: the firmware lists its setup application among its
// load options. EDK2-based firmware (OVMF and AAVMF included) has a Boot####
// option for its UiApp, the application that shows the front page and the
// setup forms, often hidden and sometimes missing from BootOrder. So the
// options in BootOrder are read first, in that order, then Boot0000-Boot00FF,
// and the first one that IsFirmwareSetup accepts is loaded from its device
// path and started like any other image. Variables are only read, never
// written: the machine's boot configuration stays as it was.
#include "loader/setup_launch.h"

#include "loader/image_start.h"
#include "loader/setup_option.h"

namespace {

constexpr UINTN LastScannedOption = 0xFF;

// A Boot#### variable read into pool memory and checked.
struct SetupOption {
  PoolPtr<UINT8> Bytes;
  LoadOptionView View{};
};

bool ReadSetupOption(UINT16 Number, SetupOption &Option) {
  static const char16_t Digits[] = u"0123456789ABCDEF";
  CHAR16 Name[] = {u'B', u'o', u'o', u't', 0, 0, 0, 0, 0};
  for (UINTN Index = 0; Index < 4; ++Index) {
    Name[7 - Index] = Digits[(Number >> (4 * Index)) & 0xF];
  }
  UINTN Size = 0;
  *Option.Bytes.Out() =
      static_cast<UINT8 *>(LibGetVariableAndSize(Name, &EfiGlobalVariable, &Size));
  if (!Option.Bytes) {
    return false;
  }
  return ParseLoadOption(Option.Bytes.Get(), Size, &Option.View) && IsFirmwareSetup(Option.View);
}

bool FindSetupOption(SetupOption &Option) {
  UINTN OrderSize = 0;
  PoolPtr<UINT8> Order(static_cast<UINT8 *>(
      LibGetVariableAndSize(MutableText(u"BootOrder"), &EfiGlobalVariable, &OrderSize)));
  for (UINTN Offset = 0; Order && OrderSize - Offset >= sizeof(UINT16); Offset += sizeof(UINT16)) {
    const auto Number = static_cast<UINT16>(Order[Offset] | (Order[Offset + 1] << 8));
    if (ReadSetupOption(Number, Option)) {
      return true;
    }
  }
  for (UINTN Number = 0; Number <= LastScannedOption; ++Number) {
    if (ReadSetupOption(static_cast<UINT16>(Number), Option)) {
      return true;
    }
  }
  Option.Bytes.Reset();
  return false;
}

} // namespace

EFI_STATUS OpenFirmwareSetup(EFI_HANDLE ImageHandle) {
  SetupOption Option;
  if (!FindSetupOption(Option)) {
    Print(Text(u"No firmware setup found among the boot options.\n"));
    return EFI_NOT_FOUND;
  }
  Print(Text(u"Opening the firmware setup: %s\n"), Option.View.Description);
  ImageGuard Setup;
  EFI_STATUS Status = LoadAndStartImage(
      ImageHandle, const_cast<EFI_DEVICE_PATH *>(Option.View.FilePathList), Setup);
  if (EFI_ERROR(Status)) {
    Print(Text(u"Could not start %s: %r\n"), Option.View.Description, Status);
    return Status;
  }
  // An application is unloaded by the firmware when it returns.
  Setup.Release();
  return EFI_SUCCESS;
}
