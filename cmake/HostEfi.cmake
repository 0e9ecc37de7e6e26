# Firmware code built for the host (tests, benchmarks): the same gnu-efi
# headers and ABI macros as the images, linked with Debian's libefi.
#
# libefi's init.o defines memset and memcpy for images without a C library.
# Linked into a host program they would take the place of the C library's for
# every caller in the executable and hide those calls from AddressSanitizer
# (and make a memcpy yardstick byte-wise). A copy of the archive in which the
# two symbols are local keeps every libefi routine as Debian built it and lets
# all other code use the C library's (or ASan's) memset/memcpy.
#
# The host is x86-64: host code uses the x64 gnu-efi headers and library.
efi_arch_settings(x64)
foreach(file libefi.a ${EFI_CRT0})
  if(NOT EXISTS ${EFI_LIB_DIR}/${file})
    message(FATAL_ERROR "${EFI_LIB_DIR}/${file} missing: install Debian's gnu-efi package")
  endif()
endforeach()
find_program(OBJCOPY objcopy REQUIRED)
# The row packer the x64 images use, for host tests and benchmarks.
set(HOST_ROW_PACKER ${EFI_ROW_PACKER})

set(HOST_LIBEFI ${CMAKE_BINARY_DIR}/libefi-host.a)
add_custom_command(OUTPUT ${HOST_LIBEFI}
  COMMAND ${OBJCOPY} --localize-symbol=memset --localize-symbol=memcpy
          ${EFI_LIB_DIR}/libefi.a ${HOST_LIBEFI}
  DEPENDS ${EFI_LIB_DIR}/libefi.a
  COMMENT "libefi for host programs (memset/memcpy made local)"
  VERBATIM)
add_custom_target(host_libefi_archive DEPENDS ${HOST_LIBEFI})
add_library(host_libefi STATIC IMPORTED GLOBAL)
set_target_properties(host_libefi PROPERTIES IMPORTED_LOCATION ${HOST_LIBEFI})
add_dependencies(host_libefi host_libefi_archive)

# How host code sees the gnu-efi headers.
add_library(host_efi_headers INTERFACE)
target_include_directories(host_efi_headers SYSTEM INTERFACE ${EFI_INCLUDE_DIRS})
target_include_directories(host_efi_headers INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(host_efi_headers INTERFACE ${EFI_ARCH_DEFINITIONS}
  EFI_ARCH_NAME="x64" EFI_BOOT_NAME="${EFI_BOOT_NAME_VALUE}")

# The x64 images' compile options, for host programs that time firmware code
# as the drivers run it (bench/).
efi_firmware_interface(efi_firmware x64)
