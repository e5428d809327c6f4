# libsodium for the Windows legs (cmake/WindowsLegs.cmake). No mingw-w64 build of it is
# packaged, so the Linux build makes one from Debian's own source package (the version and the
# patches Debian ships), once, in build/sodium/:
#   source/              the unpacked source package, fetched by scripts/debian-source.sh with a
#                        private apt state beside it (source.apt/); its configure script is
#                        generated here, as Debian's own build does (the package has none)
#   build-<triplet>/     the cross build for each target
#   <triplet>/           include/ and lib/libsodium.a, what the leg receives as QN_SODIUM_ROOT
#   stamp/               ExternalProject's stamps: a later build neither fetches nor compiles
#                        again (a changed configure command or fetch script does)
# The fetched version must be at least the Linux build's (pkg-config's libsodium), or the fetch
# fails saying so: the module must not get older cryptography on Windows than on Linux.
#
# The library is static and minimal (the high-level API: secretbox, box, sign, the generic
# hash, random bytes, ...; no XChaCha20 boxes, scrypt, Ristretto or Ed25519 point arithmetic,
# none of which the module uses), optimised without debug information, and takes no threads
# library: on Windows libsodium locks with critical sections. There is no position-independent
# code to ask for on Windows (the loader relocates a DLL), so the same objects serve programs
# and a DLL.
#
#   qn_add_windows_sodium(<triplet>)   the target sodium_<triplet>, which builds <triplet>/
if(NOT SODIUM_VERSION)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED libsodium)
endif()

set(QN_SODIUM_DIR ${CMAKE_BINARY_DIR}/sodium)
set(_qn_sodium_fetch ${PROJECT_SOURCE_DIR}/scripts/debian-source.sh)

ExternalProject_Add(sodium_source
  SOURCE_DIR ${QN_SODIUM_DIR}/source
  STAMP_DIR ${QN_SODIUM_DIR}/stamp
  TMP_DIR ${QN_SODIUM_DIR}/tmp
  DOWNLOAD_DIR ${QN_SODIUM_DIR}
  DOWNLOAD_COMMAND bash ${_qn_sodium_fetch} libsodium <SOURCE_DIR> ${SODIUM_VERSION}
  BUILD_IN_SOURCE ON
  CONFIGURE_COMMAND autoreconf -fi
  BUILD_COMMAND ""
  INSTALL_COMMAND ""
  LOG_DOWNLOAD ON
  LOG_CONFIGURE ON
  LOG_OUTPUT_ON_FAILURE ON)
ExternalProject_Add_StepDependencies(sodium_source download ${_qn_sodium_fetch})

function(qn_add_windows_sodium triplet)
  ExternalProject_Add(sodium_${triplet}
    DEPENDS sodium_source
    SOURCE_DIR ${QN_SODIUM_DIR}/source
    BINARY_DIR ${QN_SODIUM_DIR}/build-${triplet}
    INSTALL_DIR ${QN_SODIUM_DIR}/${triplet}
    STAMP_DIR ${QN_SODIUM_DIR}/stamp
    TMP_DIR ${QN_SODIUM_DIR}/tmp
    DOWNLOAD_COMMAND ""
    # The plain POSIX shell runs configure and libtool (once per object) faster than bash does.
    CONFIGURE_COMMAND ${CMAKE_COMMAND} -E env CONFIG_SHELL=/bin/sh
      /bin/sh <SOURCE_DIR>/configure CONFIG_SHELL=/bin/sh
      --host=${triplet} CC=${triplet}-gcc-posix CFLAGS=-O2 --prefix=<INSTALL_DIR>
      --disable-shared --enable-static --enable-minimal --without-pthreads
      --disable-dependency-tracking
    BUILD_BYPRODUCTS <INSTALL_DIR>/lib/libsodium.a
    LOG_CONFIGURE ON
    LOG_BUILD ON
    LOG_INSTALL ON
    LOG_OUTPUT_ON_FAILURE ON)
endfunction()
