// Test application for the emulator tests: optionally switches the graphics
// mode, covers the whole screen with a known picture and keeps it there for a
// while, so a capture taken meanwhile can be checked pixel for pixel.
//
//   PaintScreen.efi list               print the graphics modes, paint nothing
//   PaintScreen.efi [WxH] [wait N]     set mode WxH (default: keep the mode),
//                                      paint, hold the picture N seconds
//
// Serial console lines the tests wait for:
//   "MODE <i> <W>x<H>" per mode and "MODES END"   (list)
//   "PAINTED <W>x<H>"  once the picture is on the screen
//   "PAINT DONE"       after the wait, when the screen is no longer held
//
// The picture (recomputed by tests/emulator/paint_pattern.py, keep both in step):
//   Blue = x*7 + y*3, Green = x*5 ^ y*11, Red = (x+y)*13 (each mod 256),
//   Reserved = 0xA5, so every pixel differs from its neighbours in every
//   channel and a flipped, shifted or channel-swapped copy cannot match.

#include "common/guards.h"
#include "tests/apps/hold.h"

namespace {

constexpr UINT8 ReservedByte = 0xA5;

bool SameText(const CHAR16 *Left, const char16_t *Right) {
  while (*Left != 0 && *Left == *Right) {
    ++Left;
    ++Right;
  }
  return *Left == *Right;
}

// Reads a decimal number; Text advances past it. False when no digit is there.
bool ReadNumber(const CHAR16 *&Text, UINT32 &Value) {
  if (*Text < u'0' || *Text > u'9') {
    return false;
  }
  UINT64 Number = 0;
  while (*Text >= u'0' && *Text <= u'9') {
    Number = Number * 10 + (*Text - u'0');
    if (Number > 0xFFFFFFFF) {
      return false;
    }
    ++Text;
  }
  Value = static_cast<UINT32>(Number);
  return true;
}

// "800x600" into Width and Height.
bool ParseResolution(const CHAR16 *Text, UINT32 &Width, UINT32 &Height) {
  if (!ReadNumber(Text, Width) || (*Text != u'x' && *Text != u'X')) {
    return false;
  }
  ++Text;
  return ReadNumber(Text, Height) && *Text == 0;
}

// Calls Visit(Mode, Info) for every mode the device describes, until it
// returns true; gives back that mode's number, or MaxMode.
template <typename Visitor> UINT32 FindMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop, Visitor Visit) {
  for (UINT32 Mode = 0; Mode < Gop->Mode->MaxMode; ++Mode) {
    UINTN InfoSize = 0;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *Info = nullptr;
    if (EFI_ERROR(Gop->QueryMode(Gop, Mode, &InfoSize, &Info))) {
      continue;
    }
    PoolPtr<EFI_GRAPHICS_OUTPUT_MODE_INFORMATION> Owned(Info);
    if (Visit(Mode, *Info)) {
      return Mode;
    }
  }
  return Gop->Mode->MaxMode;
}

void ListModes(EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop) {
  FindMode(Gop, [](UINT32 Mode, const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION &Info) {
    Print(Text(u"MODE %d %dx%d\n"), Mode, Info.HorizontalResolution, Info.VerticalResolution);
    return false;
  });
  Print(Text(u"CURRENT %dx%d\n"), Gop->Mode->Info->HorizontalResolution,
        Gop->Mode->Info->VerticalResolution);
  Print(Text(u"MODES END\n"));
}

EFI_STATUS SetResolution(EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop, UINT32 Width, UINT32 Height) {
  const UINT32 Mode =
      FindMode(Gop, [Width, Height](UINT32, const EFI_GRAPHICS_OUTPUT_MODE_INFORMATION &Info) {
        return Info.HorizontalResolution == Width && Info.VerticalResolution == Height;
      });
  return Mode < Gop->Mode->MaxMode ? Gop->SetMode(Gop, Mode) : EFI_NOT_FOUND;
}

// Written to the serial port directly: console text would also be drawn on
// the freshly painted screen.
void SerialLine(const char *Line) {
  EFI_SERIAL_IO_PROTOCOL *Serial = nullptr;
  if (EFI_ERROR(
          BS->LocateProtocol(&SerialIoProtocol, nullptr, reinterpret_cast<VOID **>(&Serial)))) {
    return;
  }
  UINTN Length = 0;
  while (Line[Length] != 0) {
    ++Length;
  }
  Serial->Write(Serial, &Length, const_cast<char *>(Line));
}

// "PAINTED <W>x<H>\r\n" without the console's formatting.
void AnnouncePainted(UINT32 Width, UINT32 Height) {
  char Line[48] = "PAINTED ";
  UINTN At = 8;
  auto Append = [&](UINT32 Value) {
    char Digits[10];
    UINTN Count = 0;
    do {
      Digits[Count++] = static_cast<char>('0' + Value % 10);
      Value /= 10;
    } while (Value != 0);
    while (Count > 0) {
      Line[At++] = Digits[--Count];
    }
  };
  Append(Width);
  Line[At++] = 'x';
  Append(Height);
  Line[At++] = '\r';
  Line[At++] = '\n';
  Line[At] = 0;
  SerialLine(Line);
}

EFI_STATUS Paint(EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop) {
  const UINT32 Width = Gop->Mode->Info->HorizontalResolution;
  const UINT32 Height = Gop->Mode->Info->VerticalResolution;
  auto Picture = PoolPtr<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>::Allocate(
      UINTN{Width} * Height * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL));
  if (!Picture) {
    Print(Text(u"PAINT ERROR no memory\n"));
    return EFI_OUT_OF_RESOURCES;
  }
  // Computed before anything is drawn, so the screen changes in one Blt.
  for (UINT32 Y = 0; Y < Height; ++Y) {
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Row = Picture.Get() + UINTN{Y} * Width;
    for (UINT32 X = 0; X < Width; ++X) {
      Row[X].Blue = static_cast<UINT8>(X * 7 + Y * 3);
      Row[X].Green = static_cast<UINT8>((X * 5) ^ (Y * 11));
      Row[X].Red = static_cast<UINT8>((X + Y) * 13);
      Row[X].Reserved = ReservedByte;
    }
  }
  // Console output after this point would draw over the picture.
  ST->ConOut->EnableCursor(ST->ConOut, FALSE);
  EFI_STATUS Status = Gop->Blt(Gop, Picture.Get(), EfiBltBufferToVideo, 0, 0, 0, 0, Width, Height,
                               UINTN{Width} * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL));
  if (EFI_ERROR(Status)) {
    Print(Text(u"PAINT ERROR %r\n"), Status);
    return Status;
  }
  AnnouncePainted(Width, Height);
  return EFI_SUCCESS;
}

} // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);

  EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop = nullptr;
  if (EFI_ERROR(
          BS->LocateProtocol(&GraphicsOutputProtocol, nullptr, reinterpret_cast<VOID **>(&Gop)))) {
    Print(Text(u"PAINT ERROR no graphics output\n"));
    return EFI_UNSUPPORTED;
  }

  CHAR16 **Argv = nullptr;
  const INTN Argc = GetShellArgcArgv(ImageHandle, &Argv);
  bool List = false;
  bool Resize = false;
  UINT32 Width = 0;
  UINT32 Height = 0;
  UINT32 WaitSeconds = 0;
  for (INTN Arg = 1; Arg < Argc; ++Arg) {
    if (SameText(Argv[Arg], u"list")) {
      List = true;
    } else if (SameText(Argv[Arg], u"wait") && Arg + 1 < Argc) {
      const CHAR16 *Number = Argv[++Arg];
      if (!ReadNumber(Number, WaitSeconds) || *Number != 0) {
        Print(Text(u"PAINT ERROR bad wait %s\n"), Argv[Arg]);
        return EFI_INVALID_PARAMETER;
      }
    } else if (ParseResolution(Argv[Arg], Width, Height)) {
      Resize = true;
    } else {
      Print(Text(u"PAINT ERROR bad argument %s\n"), Argv[Arg]);
      return EFI_INVALID_PARAMETER;
    }
  }

  if (List) {
    ListModes(Gop);
    return EFI_SUCCESS;
  }
  if (Resize) {
    const EFI_STATUS Status = SetResolution(Gop, Width, Height);
    if (EFI_ERROR(Status)) {
      Print(Text(u"PAINT ERROR mode %dx%d: %r\n"), Width, Height, Status);
      return Status;
    }
  }
  // Printed before painting: the console clears the screen after a mode change.
  Print(Text(u"PAINTING %dx%d\n"), Gop->Mode->Info->HorizontalResolution,
        Gop->Mode->Info->VerticalResolution);
  EFI_STATUS Status = Paint(Gop);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Hold(WaitSeconds);
  ST->ConOut->EnableCursor(ST->ConOut, TRUE);
  Print(Text(u"PAINT DONE\n"));
  return EFI_SUCCESS;
}
