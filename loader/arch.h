// The architecture this image is built for. The build defines EFI_ARCH_NAME
// ("x64", "ia32", "aa64"), the name of the stick folder that holds the
// drivers of that architecture.
#pragma once

#include "common/uefi.h"

#ifndef EFI_ARCH_NAME
#error "the build defines EFI_ARCH_NAME for firmware code"
#endif

#define LOADER_WIDE_TEXT(Literal) u"" Literal

inline const CHAR16 *ArchFolderName() {
  return Text(LOADER_WIDE_TEXT(EFI_ARCH_NAME));
}
