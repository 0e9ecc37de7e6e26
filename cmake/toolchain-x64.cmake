# Toolchain of the x64 firmware sub-build; the settings are in EfiArch.cmake.
set(EFI_ARCH x64)
include(${CMAKE_CURRENT_LIST_DIR}/EfiToolchain.cmake)
