# Firmware code built for the host (tests, benchmarks): the same gnu-efi
# headers and ABI macros as the images, linked with Debian's libefi.
#
# libefi's init.o defines memset and memcpy for images without a C library.
# Linked into a host program they would take the place of the C library's for
# every caller in the executable and hide those calls from AddressSanitizer
# (and make a memcpy yardstick byte-wise). A copy of the archive in which the
# two symbols are local keeps every libefi routine as Debian built it and lets
# all other code use the C library's (or ASan's) memset/memcpy.
set(HOST_LIBEFI ${CMAKE_BINARY_DIR}/libefi-host.a)
add_custom_command(OUTPUT ${HOST_LIBEFI}
  COMMAND ${OBJCOPY} --localize-symbol=memset --localize-symbol=memcpy
          ${GNU_EFI_LIB_DIR}/libefi.a ${HOST_LIBEFI}
  DEPENDS ${GNU_EFI_LIB_DIR}/libefi.a
  COMMENT "libefi for host programs (memset/memcpy made local)"
  VERBATIM)
add_custom_target(host_libefi_archive DEPENDS ${HOST_LIBEFI})
add_library(host_libefi STATIC IMPORTED GLOBAL)
set_target_properties(host_libefi PROPERTIES IMPORTED_LOCATION ${HOST_LIBEFI})
add_dependencies(host_libefi host_libefi_archive)

# How host code sees the gnu-efi headers.
add_library(host_efi_headers INTERFACE)
target_include_directories(host_efi_headers SYSTEM INTERFACE
  ${GNU_EFI_INCLUDE_DIR} ${GNU_EFI_INCLUDE_DIR}/x86_64)
target_include_directories(host_efi_headers INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(host_efi_headers INTERFACE GNU_EFI_USE_MS_ABI)
