// NotifyHotKeys.efi: a stand-in for a firmware's own hot-key protocol that
// calls its handlers the way such firmware may: from inside the keyboard's
// notification, at TPL_NOTIFY. Boot-service driver; `load` it instead of
// HotKeyProvider.efi.
//
// Only F9 (scan code 0x43) with a modifier is accepted. On each press of a
// registered combination it raises the TPL to TPL_NOTIFY, calls the handler,
// and checks the screen square where HotKeyCapture draws its badge: a handler
// that does its work at once would have drawn there before returning. It
// prints only when something is wrong, on the serial console the tests read:
//   "NOTIFY HANDLER <status>"         the handler returned an error
//   "NOTIFY BADGE BEFORE RETURN"       the badge square changed during the call
#include "common/guards.h"
#include "common/tpl.h"
#include "hotkey/hotkey_protocol.h"

namespace {

constexpr UINT8 F9ScanCode = 0x43;
constexpr UINTN SquareX = 100, SquareY = 100, SquareSide = 64;
constexpr UINTN MaxEntries = 4;

struct Entry {
  UINT32 ShiftState;
  HOT_KEY_HANDLER Handler;
  VOID *Context;
};
Entry Entries[MaxEntries];
UINTN EntryCount = 0;

EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop = nullptr;
// Static: no pool calls from inside the notification.
EFI_GRAPHICS_OUTPUT_BLT_PIXEL Before[SquareSide * SquareSide];
EFI_GRAPHICS_OUTPUT_BLT_PIXEL After[SquareSide * SquareSide];

bool ReadSquare(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Square) {
  return !EFI_ERROR(Gop->Blt(Gop, Square, EfiBltVideoToBltBuffer, SquareX, SquareY, 0, 0,
                             SquareSide, SquareSide, 0));
}

EFI_STATUS EFIAPI KeyPressed(EFI_KEY_DATA *Key) {
  const UINT32 Shift = Key->KeyState.KeyShiftState & ~EFI_SHIFT_STATE_VALID;
  for (UINTN I = 0; I < EntryCount; ++I) {
    if (Entries[I].ShiftState != Shift) {
      continue;
    }
    TplGuard AtNotify(TPL_NOTIFY);
    const bool Read = Gop != nullptr && ReadSquare(Before);
    const EFI_STATUS Status = Entries[I].Handler(Entries[I].Context);
    if (EFI_ERROR(Status)) {
      Print(Text(u"NOTIFY HANDLER %r\n"), Status);
    } else if (Read && ReadSquare(After) && CompareMem(Before, After, sizeof Before) != 0) {
      Print(Text(u"NOTIFY BADGE BEFORE RETURN\n"));
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RegisterHotKey(const HotKeyRegistration *Record, UINT8 Value) {
  if (Record == nullptr || Record->Handler == nullptr || Value != HotKeyRegister ||
      Record->KeyCode != F9ScanCode || Record->ShiftState == 0) {
    return EFI_UNSUPPORTED;
  }
  if (EntryCount == MaxEntries) {
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_GUID TextInputExGuid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *TextInput = nullptr;
  EFI_STATUS Status = BS->HandleProtocol(ST->ConsoleInHandle, &TextInputExGuid,
                                         reinterpret_cast<VOID **>(&TextInput));
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_KEY_DATA Key = {};
  Key.Key.ScanCode = SCAN_F9;
  Key.KeyState.KeyShiftState = EFI_SHIFT_STATE_VALID | Record->ShiftState;
  VOID *Handle = nullptr;
  Status = TextInput->RegisterKeyNotify(TextInput, &Key, KeyPressed, &Handle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Entries[EntryCount++] = {Record->ShiftState, Record->Handler, Record->Context};
  return EFI_SUCCESS;
}

HotKeyProtocol Interface = {RegisterHotKey};

} // namespace

extern "C" EFI_STATUS efi_main(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  InitializeLib(ImageHandle, SystemTable);
  EFI_GUID GopGuid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
  BS->LocateProtocol(&GopGuid, nullptr, reinterpret_cast<VOID **>(&Gop));
  EFI_GUID HotKeyGuid = HOT_KEY_PROTOCOL_GUID;
  EFI_HANDLE Handle = nullptr;
  return BS->InstallProtocolInterface(&Handle, &HotKeyGuid, EFI_NATIVE_INTERFACE, &Interface);
}
