# Toolchain of the aa64 firmware sub-build; the settings are in EfiArch.cmake.
set(EFI_ARCH aa64)
include(${CMAKE_CURRENT_LIST_DIR}/EfiToolchain.cmake)
