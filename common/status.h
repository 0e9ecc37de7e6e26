// One idiom for "this step failed": print the fixed message, hand the status back.
//   if (EFI_ERROR(Status)) return Fail(Status, u"Create File Error\n");
#pragma once

#include "common/uefi.h"

inline EFI_STATUS Fail(EFI_STATUS Status, const char16_t *Message) {
  Print(Text(Message));
  return Status;
}
