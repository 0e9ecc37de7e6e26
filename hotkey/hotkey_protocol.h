// The hot-key protocol HotKeyProvider installs and HotKeyCapture calls: one
// service, RegisterHotKey(Record, Value), at offset 0 of the interface.
//
// Record (copied during the call; the caller may reuse or drop it afterwards):
//   KeyCode     PC/AT scan code, set 1 make code: F1-F10 0x3B-0x44, F11 0x57,
//               F12 0x58, digits 0x02 ('1') - 0x0B ('0'), letters in set-1
//               layout (0x10 q ... 0x19 p, 0x1E a ... 0x26 l, 0x2C z ... 0x32 m).
//   ShiftState  KeyShiftState bits without EFI_SHIFT_STATE_VALID; at least one
//               modifier. Left and right keys are different combinations.
//   Flag        HotKeyFlagEnabled (1); nothing else is defined yet.
//   Handler     called once per press at TPL_CALLBACK, with Context.
//   Context     handed to Handler unchanged.
//
// Value HotKeyRegister (1) adds the combination, HotKeyUnregister (0) removes the
// entry with the same KeyCode, ShiftState and Handler.
//
// Status:
//   EFI_SUCCESS            done; registering an existing (KeyCode, ShiftState,
//                          Handler) again is a success that keeps the first entry
//                          and its Context
//   EFI_INVALID_PARAMETER  null Record or Handler, Flag not 1, Value not 0 or 1,
//                          ShiftState 0
//   EFI_UNSUPPORTED        KeyCode not in the map above; Shift with a digit or
//                          letter (the keyboard reports the shifted character
//                          without the Shift bits, so the press cannot be told
//                          apart); called above TPL_CALLBACK
//   EFI_OUT_OF_RESOURCES   all 16 entries in use
//   EFI_NOT_FOUND          unregister of an entry that does not exist
//   EFI_NOT_READY          the console has no extended text input yet
//   anything else          RegisterKeyNotify's failure, passed on
//
// Call it at TPL_CALLBACK or below. Handlers must stay loaded while registered:
// unregister them before their image goes away. The interface pointer is valid
// only while the provider is loaded; since LocateProtocol opens nothing, the
// provider cannot see users, so use it right after locating it (HotKeyCapture
// does so from its entry point) rather than keeping it.
#pragma once

#include "common/uefi.h"

#define HOT_KEY_PROTOCOL_GUID                                                                      \
  {                                                                                                \
    0xF1E48287, 0x3FE1, 0x4535, {                                                                  \
      0x89, 0xAB, 0x48, 0xD6, 0xC3, 0xDA, 0x27, 0x59                                               \
    }                                                                                              \
  }

typedef EFI_STATUS(EFIAPI *HOT_KEY_HANDLER)(VOID *Argument);

// The record has the natural layout of this struct on each architecture, as
// the firmware's own protocol would read it: the pointers are aligned to
// their size, so Handler is at sizeof(VOID *) and Context right after it
// (x64 and aa64: 8, 16, size 24; ia32: 4, 8, size 12).
struct HotKeyRegistration {
  UINT8 KeyCode;
  UINT8 ShiftState;
  UINT8 Flag;
  // bytes 3 .. sizeof(VOID *) - 1: alignment gap, never read
  HOT_KEY_HANDLER Handler;
  VOID *Context;
};
static_assert(__builtin_offsetof(HotKeyRegistration, KeyCode) == 0, "record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, ShiftState) == 1, "record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, Flag) == 2, "record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, Handler) == sizeof(VOID *), "record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, Context) == 2 * sizeof(VOID *),
              "record layout");
static_assert(sizeof(HotKeyRegistration) == 3 * sizeof(VOID *), "record layout");

constexpr UINT8 HotKeyFlagEnabled = 1;
constexpr UINT8 HotKeyUnregister = 0;
constexpr UINT8 HotKeyRegister = 1;

struct HotKeyProtocol {
  EFI_STATUS(EFIAPI *RegisterHotKey)(const HotKeyRegistration *Record, UINT8 Value);
};
static_assert(__builtin_offsetof(HotKeyProtocol, RegisterHotKey) == 0, "service at offset 0");
