# Shared part of cmake/toolchain-<arch>.cmake: the compilers of EFI_ARCH.
# Firmware images are linked by add_efi_image with the firmware's own crt0,
# so compiler checks stop at static libraries (no C library to link against).
include(${CMAKE_CURRENT_LIST_DIR}/EfiArch.cmake)
efi_arch_settings(${EFI_ARCH})
if(NOT EFI_ARCH STREQUAL "x64")
  set(CMAKE_SYSTEM_NAME Linux)
endif()
set(CMAKE_C_COMPILER ${EFI_CC})
set(CMAKE_CXX_COMPILER ${EFI_CXX})
set(CMAKE_C_FLAGS_INIT "${EFI_MACHINE_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${EFI_MACHINE_FLAGS}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
