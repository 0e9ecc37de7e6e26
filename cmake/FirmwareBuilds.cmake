# The firmware images of every architecture this machine can build: each one a
# sub-build of this same source tree with cmake/toolchain-<arch>.cmake, its
# images in <build>/<arch>/ (objects in <build>/firmware/<arch>/). The
# sub-builds run on every build, so an edited source is always rebuilt.
#
# Targets: efi_<arch> builds all images of one architecture; EFI_BUILT_ARCHES
# lists the architectures built here.
include(ExternalProject)

set(EFI_SIGN_KEY "" CACHE FILEPATH "private key (PEM): sign every .efi with sbsign")
set(EFI_SIGN_CERT "" CACHE FILEPATH "certificate (PEM) that goes with EFI_SIGN_KEY")
if(EFI_SIGN_KEY AND NOT EFI_SIGN_CERT OR EFI_SIGN_CERT AND NOT EFI_SIGN_KEY)
  message(FATAL_ERROR "set both EFI_SIGN_KEY and EFI_SIGN_CERT, or neither")
endif()

set(EFI_BUILT_ARCHES "")
foreach(arch ${EFI_ARCHES})
  efi_arch_missing(${arch} missing)
  if(missing)
    message(WARNING "${arch} firmware images skipped: ${missing}")
    continue()
  endif()
  list(APPEND EFI_BUILT_ARCHES ${arch})
  ExternalProject_Add(efi_${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/firmware/${arch}
    PREFIX ${CMAKE_BINARY_DIR}/firmware/${arch}-ep
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-${arch}.cmake
      -DEFI_IMAGE_OUTPUT_DIR=${CMAKE_BINARY_DIR}/${arch}
      -DEFI_SIGN_KEY=${EFI_SIGN_KEY}
      -DEFI_SIGN_CERT=${EFI_SIGN_CERT}
      -DGNU_EFI_INCLUDE_DIR=${GNU_EFI_INCLUDE_DIR}
      -DGNU_EFI_LIB_DIR=${GNU_EFI_LIB_DIR}
      -DGNU_EFI_IA32_LIB_DIR=${GNU_EFI_IA32_LIB_DIR}
      -DGNU_EFI_AA64_ROOT=${GNU_EFI_AA64_ROOT}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD OFF)
endforeach()
message(STATUS "firmware images for: ${EFI_BUILT_ARCHES}")
