# Everything that differs between the firmware architectures, in one table.
# Read by the host build (which architectures can be built, x64 settings for
# the benchmarks) and by each architecture's toolchain file and sub-build.
#
#   arch  compiler                 gnu-efi                         PE image made by
#   x64   g++                      Debian amd64 gnu-efi            objcopy --target efi-<type>-x86_64
#   ia32  g++ -m32                 the ia32 files amd64 gnu-efi    objcopy --target efi-<type>-ia32
#                                  ships (/usr/lib32)
#   aa64  aarch64-linux-gnu-g++    Debian arm64 gnu-efi, unpacked  crt0's own PE header, subsystem
#                                  by tools/setup.sh               from EFI_SUBSYSTEM; objcopy -O binary

set(EFI_ARCHES x64 ia32 aa64)

set(GNU_EFI_INCLUDE_DIR /usr/include/efi CACHE PATH "gnu-efi headers (x64 and ia32)")
set(GNU_EFI_LIB_DIR /usr/lib CACHE PATH "x64 gnu-efi libraries, crt0 and linker script")
set(GNU_EFI_IA32_LIB_DIR /usr/lib32 CACHE PATH "ia32 gnu-efi libraries, crt0 and linker script")
set(GNU_EFI_AA64_ROOT /opt/gnu-efi-arm64 CACHE PATH
    "Debian's arm64 gnu-efi unpacked (usr/include/efi, usr/lib); tools/setup.sh puts it there")

# efi_arch_settings(<arch>): sets, in the caller's scope,
#   EFI_CC, EFI_CXX          compilers
#   EFI_MACHINE_FLAGS        flags that select the machine (compile and link)
#   EFI_ARCH_OPTIONS         compile (and link) options of this architecture
#   EFI_ARCH_DEFINITIONS     compile definitions of this architecture
#   EFI_ARCH_LINK_OPTIONS    link options of this architecture
#   EFI_INCLUDE_DIRS         gnu-efi header folders
#   EFI_LIB_DIR              libefi.a, libgnuefi.a, crt0 and linker script
#   EFI_CRT0, EFI_LDS        file names in EFI_LIB_DIR
#   EFI_OBJCOPY              objcopy that reads this architecture's ELF files
#   EFI_PE_TARGET            objcopy's efi-<type>-<target> name, or empty when
#                            crt0 carries the PE header (then the image is cut
#                            with -O binary and the subsystem is EFI_SUBSYSTEM)
#   EFI_BOOT_NAME_VALUE      removable-media boot file name
#   EFI_ROW_PACKER           the per-row pixel packer for PackBmpRows
#   EFI_PACKAGES             Debian packages that bring the toolchain
macro(efi_arch_settings arch)
  if("${arch}" STREQUAL "x64")
    set(EFI_CC gcc)
    set(EFI_CXX g++)
    set(EFI_MACHINE_FLAGS "")
    # Firmware calls use the Microsoft x64 convention; no red zone, since
    # interrupts run on the same stack.
    set(EFI_ARCH_OPTIONS -mno-red-zone -maccumulate-outgoing-args)
    set(EFI_ARCH_DEFINITIONS GNU_EFI_USE_MS_ABI)
    set(EFI_ARCH_LINK_OPTIONS "")
    set(EFI_INCLUDE_DIRS ${GNU_EFI_INCLUDE_DIR} ${GNU_EFI_INCLUDE_DIR}/x86_64)
    set(EFI_LIB_DIR ${GNU_EFI_LIB_DIR})
    set(EFI_CRT0 crt0-efi-x86_64.o)
    set(EFI_LDS elf_x86_64_efi.lds)
    set(EFI_OBJCOPY objcopy)
    set(EFI_PE_TARGET x86_64)
    set(EFI_BOOT_NAME_VALUE BOOTX64.EFI)
    # Every x86-64 processor has SSE2.
    set(EFI_ROW_PACKER capture/pack_row_sse2.cpp)
    set(EFI_PACKAGES "g++ gnu-efi")
  elseif("${arch}" STREQUAL "ia32")
    set(EFI_CC gcc)
    set(EFI_CXX g++)
    # UEFI 2.10, section 2.3.2 (IA-32 platforms), sets up the SSE control
    # word only "if supported": IA-32 firmware may run without SSE, so the
    # compiler must not use it, and the row packer is the portable one.
    set(EFI_MACHINE_FLAGS "-m32")
    set(EFI_ARCH_OPTIONS -march=i686 -mno-mmx -mno-sse)
    set(EFI_ARCH_DEFINITIONS "")
    set(EFI_ARCH_LINK_OPTIONS "")
    set(EFI_INCLUDE_DIRS ${GNU_EFI_INCLUDE_DIR} ${GNU_EFI_INCLUDE_DIR}/ia32)
    set(EFI_LIB_DIR ${GNU_EFI_IA32_LIB_DIR})
    set(EFI_CRT0 crt0-efi-ia32.o)
    set(EFI_LDS elf_ia32_efi.lds)
    set(EFI_OBJCOPY objcopy)
    set(EFI_PE_TARGET ia32)
    set(EFI_BOOT_NAME_VALUE BOOTIA32.EFI)
    set(EFI_ROW_PACKER capture/pack_row_portable.cpp)
    set(EFI_PACKAGES "g++ gnu-efi")
  elseif("${arch}" STREQUAL "aa64")
    set(EFI_CC aarch64-linux-gnu-gcc)
    set(EFI_CXX aarch64-linux-gnu-g++)
    set(EFI_MACHINE_FLAGS "")
    set(EFI_ARCH_OPTIONS "")
    set(EFI_ARCH_DEFINITIONS "")
    # The image is one flat copy of the ELF file (code and data in one
    # writable, executable piece): gnu-efi's linker script makes it so.
    set(EFI_ARCH_LINK_OPTIONS -Wl,--no-warn-rwx-segments)
    set(EFI_INCLUDE_DIRS ${GNU_EFI_AA64_ROOT}/usr/include/efi
        ${GNU_EFI_AA64_ROOT}/usr/include/efi/aarch64)
    set(EFI_LIB_DIR ${GNU_EFI_AA64_ROOT}/usr/lib)
    set(EFI_CRT0 crt0-efi-aarch64.o)
    set(EFI_LDS elf_aarch64_efi.lds)
    set(EFI_OBJCOPY aarch64-linux-gnu-objcopy)
    set(EFI_PE_TARGET "")
    set(EFI_BOOT_NAME_VALUE BOOTAA64.EFI)
    # UEFI enables Advanced SIMD on AArch64 (UEFI 2.10, section 2.3.6).
    set(EFI_ROW_PACKER capture/pack_row_neon.cpp)
    set(EFI_PACKAGES "g++-aarch64-linux-gnu, and gnu-efi:arm64 unpacked into ${GNU_EFI_AA64_ROOT} (tools/setup.sh)")
  else()
    message(FATAL_ERROR "unknown firmware architecture '${arch}' (known: ${EFI_ARCHES})")
  endif()
endmacro()

# efi_arch_missing(<arch> <out-var>): empty when <arch> can be built here,
# otherwise what is missing and which Debian package brings it.
function(efi_arch_missing arch out)
  efi_arch_settings(${arch})
  set(missing "")
  find_program(EFI_FOUND_CXX_${arch} ${EFI_CXX})
  find_program(EFI_FOUND_OBJCOPY_${arch} ${EFI_OBJCOPY})
  if(NOT EFI_FOUND_CXX_${arch} OR NOT EFI_FOUND_OBJCOPY_${arch})
    list(APPEND missing "no ${EFI_CXX} or ${EFI_OBJCOPY}")
  endif()
  list(GET EFI_INCLUDE_DIRS -1 arch_headers)
  foreach(file ${EFI_LIB_DIR}/${EFI_CRT0} ${EFI_LIB_DIR}/${EFI_LDS} ${EFI_LIB_DIR}/libefi.a
          ${EFI_LIB_DIR}/libgnuefi.a ${arch_headers}/efibind.h)
    if(NOT EXISTS ${file})
      list(APPEND missing "no ${file}")
      break()
    endif()
  endforeach()
  if(missing)
    list(JOIN missing ", " missing)
    set(${out} "${missing} (Debian: ${EFI_PACKAGES})" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# efi_firmware_interface(<target> <arch>): an INTERFACE target with the
# options every piece of firmware code of <arch> is compiled with.
function(efi_firmware_interface target arch)
  efi_arch_settings(${arch})
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${EFI_INCLUDE_DIRS})
  target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${target} INTERFACE ${EFI_ARCH_DEFINITIONS}
    EFI_ARCH_NAME="${arch}" EFI_BOOT_NAME="${EFI_BOOT_NAME_VALUE}")
  target_compile_options(${target} INTERFACE
    -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-stack-check
    -fshort-wchar -fpic -fvisibility=hidden ${EFI_ARCH_OPTIONS}
    -Wall -Wextra -Werror)
endfunction()
