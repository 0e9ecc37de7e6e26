// The one place that pulls in the gnu-efi headers, so every file sees the same
// calling convention (on x64 EFIAPI = ms_abi; ia32 and aa64 have only one)
// and C linkage for libefi.
#pragma once

#if defined(__x86_64__) && !defined(GNU_EFI_USE_MS_ABI)
#error "build with -DGNU_EFI_USE_MS_ABI so firmware tables are called directly"
#endif

extern "C" {
#include <efi.h>
#include <efilib.h>
}

// CHAR16 is UINT16 in gnu-efi, while u"..." literals are char16_t: same size
// and encoding, different type.
inline const CHAR16 *Text(const char16_t *Literal) {
  return reinterpret_cast<const CHAR16 *>(Literal);
}
inline CHAR16 *MutableText(const char16_t *Literal) {
  return const_cast<CHAR16 *>(Text(Literal));
}
