# Toolchain of the ia32 firmware sub-build; the settings are in EfiArch.cmake.
set(EFI_ARCH ia32)
include(${CMAKE_CURRENT_LIST_DIR}/EfiToolchain.cmake)
