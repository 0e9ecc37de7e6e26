// The firmware's hot-key protocol as HotKeyCapture uses it: only its first
// member is called, with a registration record laid out as below.
#pragma once

#include "common/uefi.h"

#define HOT_KEY_PROTOCOL_GUID                                                                      \
  {                                                                                                \
    0xF1E48287, 0x3FE1, 0x4535, { 0x89, 0xAB, 0x48, 0xD6, 0xC3, 0xDA, 0x27, 0x59 }                 \
  }

typedef EFI_STATUS(EFIAPI *HOT_KEY_HANDLER)(VOID *Argument);

struct HotKeyRegistration {
  UINT8 KeyCode;    // PC/AT scan code (set 1 make code); 0x43 is F9
  UINT8 ShiftState; // KeyShiftState bits without EFI_SHIFT_STATE_VALID
  UINT8 Flag;
  // bytes 3..7: alignment gap, never written
  HOT_KEY_HANDLER Handler;
  VOID *Context;
};
static_assert(sizeof(HotKeyRegistration) == 24, "x86-64 record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, ShiftState) == 1, "record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, Flag) == 2, "record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, Handler) == 8, "record layout");
static_assert(__builtin_offsetof(HotKeyRegistration, Context) == 16, "record layout");

struct HotKeyProtocol {
  // Value 1 registers the record's combination (0 removes it). The protocol
  // copies what it needs during the call.
  EFI_STATUS(EFIAPI *RegisterHotKey)(const HotKeyRegistration *Record, UINT8 Value);
};
