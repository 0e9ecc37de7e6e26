# Firmware images from gnu-efi: compile freestanding, link as a shared object
# with gnu-efi's crt0 and linker script, then turn it into a PE32+ image.

set(GNU_EFI_INCLUDE_DIR /usr/include/efi CACHE PATH "gnu-efi headers")
set(GNU_EFI_LIB_DIR /usr/lib CACHE PATH "gnu-efi libraries, crt0 and linker script")

foreach(file crt0-efi-x86_64.o elf_x86_64_efi.lds libefi.a libgnuefi.a)
  if(NOT EXISTS ${GNU_EFI_LIB_DIR}/${file})
    message(FATAL_ERROR "${GNU_EFI_LIB_DIR}/${file} missing: install Debian's gnu-efi package")
  endif()
endforeach()

find_program(OBJCOPY objcopy REQUIRED)

# Settings every piece of firmware code is compiled with.
add_library(efi_firmware INTERFACE)
target_include_directories(efi_firmware SYSTEM INTERFACE
  ${GNU_EFI_INCLUDE_DIR} ${GNU_EFI_INCLUDE_DIR}/x86_64)
target_include_directories(efi_firmware INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(efi_firmware INTERFACE GNU_EFI_USE_MS_ABI)
target_compile_options(efi_firmware INTERFACE
  -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-stack-check
  -fshort-wchar -fpic -fvisibility=hidden -mno-red-zone -maccumulate-outgoing-args
  -Wall -Wextra -Werror)

# add_efi_image(<name> TYPE app|bsdrv SOURCES ... [LIBRARIES ...])
# builds <name>.efi in the build folder's top level.
function(add_efi_image name)
  cmake_parse_arguments(ARG "" "TYPE" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_TYPE MATCHES "^(app|bsdrv|rtdrv)$")
    message(FATAL_ERROR "add_efi_image(${name}): TYPE must be app, bsdrv or rtdrv")
  endif()
  set(elf ${name}_elf)
  add_library(${elf} SHARED ${ARG_SOURCES})
  set_target_properties(${elf} PROPERTIES OUTPUT_NAME ${name} PREFIX "" SUFFIX ".so"
    NO_SONAME ON LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/elf)
  target_link_libraries(${elf} PRIVATE efi_firmware ${ARG_LIBRARIES}
    ${GNU_EFI_LIB_DIR}/libefi.a ${GNU_EFI_LIB_DIR}/libgnuefi.a)
  target_link_options(${elf} PRIVATE
    -nostdlib -Wl,-T,${GNU_EFI_LIB_DIR}/elf_x86_64_efi.lds -Wl,-Bsymbolic -Wl,-znocombreloc
    -Wl,--no-undefined -Wl,--fatal-warnings ${GNU_EFI_LIB_DIR}/crt0-efi-x86_64.o)
  set(out ${CMAKE_BINARY_DIR}/${name}.efi)
  add_custom_command(OUTPUT ${out}
    COMMAND ${OBJCOPY} -j .text -j .sdata -j .data -j .rodata -j .dynamic -j .dynsym
            -j .rel -j .rela -j .rel.* -j .rela.* -j .reloc
            --target efi-${ARG_TYPE}-x86_64 $<TARGET_FILE:${elf}> ${out}
    DEPENDS ${elf}
    COMMENT "PE32+ image ${name}.efi"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
endfunction()
