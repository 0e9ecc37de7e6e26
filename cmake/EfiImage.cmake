# Firmware images of one architecture (EFI_ARCH, set by the sub-build's
# toolchain file): compile freestanding, link as a shared object with gnu-efi's
# crt0 and linker script, then cut the PE image out of it into
# EFI_IMAGE_OUTPUT_DIR, signed when EFI_SIGN_KEY and EFI_SIGN_CERT are set.

set(EFI_IMAGE_OUTPUT_DIR ${CMAKE_BINARY_DIR}/images CACHE PATH "where the .efi images go")
set(EFI_SIGN_KEY "" CACHE FILEPATH "private key (PEM) to sign every image with sbsign")
set(EFI_SIGN_CERT "" CACHE FILEPATH "certificate (PEM) that goes with EFI_SIGN_KEY")

file(MAKE_DIRECTORY ${EFI_IMAGE_OUTPUT_DIR})

efi_arch_settings(${EFI_ARCH})
efi_arch_missing(${EFI_ARCH} missing)
if(missing)
  message(FATAL_ERROR "${EFI_ARCH}: ${missing}")
endif()
find_program(EFI_OBJCOPY_PROGRAM ${EFI_OBJCOPY} REQUIRED)
if(EFI_SIGN_KEY AND EFI_SIGN_CERT)
  find_program(SBSIGN sbsign REQUIRED)
endif()
# Rewritten only when the signing settings change, so that a change remakes
# every image.
set(EFI_SIGN_STAMP ${CMAKE_BINARY_DIR}/efi-signing.txt)
file(CONFIGURE OUTPUT ${EFI_SIGN_STAMP} CONTENT "key=${EFI_SIGN_KEY}\ncert=${EFI_SIGN_CERT}\n")

# Settings every piece of firmware code is compiled with.
efi_firmware_interface(efi_firmware ${EFI_ARCH})

# add_efi_image(<name> TYPE app|bsdrv SOURCES ... [LIBRARIES ...])
# builds <name>.efi in EFI_IMAGE_OUTPUT_DIR.
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
    ${EFI_LIB_DIR}/libefi.a ${EFI_LIB_DIR}/libgnuefi.a)
  target_link_options(${elf} PRIVATE
    -nostdlib -Wl,-T,${EFI_LIB_DIR}/${EFI_LDS} -Wl,-Bsymbolic -Wl,-znocombreloc
    -Wl,--no-undefined -Wl,--fatal-warnings ${EFI_ARCH_LINK_OPTIONS} ${EFI_LIB_DIR}/${EFI_CRT0})

  set(sections -j .text -j .sdata -j .data -j .rodata -j .dynamic -j .dynsym
               -j .rel -j .rela -j .rel.* -j .rela.* -j .reloc)
  if(EFI_PE_TARGET)
    set(cut ${EFI_OBJCOPY_PROGRAM} ${sections} --target efi-${ARG_TYPE}-${EFI_PE_TARGET})
  else()
    # crt0 holds the PE header and reads the subsystem from this symbol.
    set(subsystem_app 0xa)
    set(subsystem_bsdrv 0xb)
    set(subsystem_rtdrv 0xc)
    target_link_options(${elf} PRIVATE -Wl,--defsym=EFI_SUBSYSTEM=${subsystem_${ARG_TYPE}})
    set(cut ${EFI_OBJCOPY_PROGRAM} ${sections} -O binary)
  endif()

  # Made in elf/ first, so that the image appears in EFI_IMAGE_OUTPUT_DIR only
  # once every step has succeeded.
  set(out ${EFI_IMAGE_OUTPUT_DIR}/${name}.efi)
  set(cut_image ${CMAKE_BINARY_DIR}/elf/${name}.efi)
  set(commands COMMAND ${cut} $<TARGET_FILE:${elf}> ${cut_image})
  if(NOT EFI_PE_TARGET)
    # The crt0 header has no base relocation section; give it the one the
    # x86 images have.
    list(APPEND commands
      COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/cmake/pe_add_reloc.py ${cut_image})
  endif()
  set(comment "${EFI_ARCH}/${name}.efi")
  if(EFI_SIGN_KEY AND EFI_SIGN_CERT)
    list(APPEND commands COMMAND ${SBSIGN} --key ${EFI_SIGN_KEY} --cert ${EFI_SIGN_CERT}
                                   --output ${out} ${cut_image})
    string(APPEND comment " (signed)")
  else()
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy ${cut_image} ${out})
  endif()
  add_custom_command(OUTPUT ${out}
    ${commands}
    DEPENDS ${elf} ${PROJECT_SOURCE_DIR}/cmake/pe_add_reloc.py ${EFI_SIGN_STAMP}
            ${EFI_SIGN_KEY} ${EFI_SIGN_CERT}
    COMMENT "${comment}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
endfunction()
