if(WIN32)
  # A ZIP of the Windows programs and their manual pages as text, made by
  # `cpack -G ZIP` (or the windows package preset) in the build folder.
  set(CPACK_PACKAGE_NAME cryptcore)
  set(CPACK_PACKAGE_VENDOR "cryptcore")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL programs)
  set(CPACK_ARCHIVE_PROGRAMS_FILE_NAME cryptcore-${PROJECT_VERSION}-win64)
  include(CPack)
  return()
endif()

# Debian packages, made by `cpack -G DEB` in the build folder:
#   cryptcore         the two programs and their manual pages;
#   libcryptcore-dev  the library, its headers and its CMake package.
set(CPACK_PACKAGE_NAME cryptcore)
set(CPACK_PACKAGE_VENDOR "cryptcore")
set(CRYPTCORE_PACKAGE_MAINTAINER "cryptcore maintainers <cryptcore@localhost>"
  CACHE STRING "The Maintainer field of the Debian packages: a name and an address")
set(CPACK_PACKAGE_CONTACT "${CRYPTCORE_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# CPack names the machine's own architecture; a cross build's packages hold
# programs for another one (arm64 for aarch64-linux-gnu).
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME cryptcore)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
# The programs' shared libraries as dpkg-shlibdeps finds them (libssl3 among
# them unless libcrypto is linked in).
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
# Each description is a summary line, then the long description.
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "encrypt or decrypt files with a passphrase
singlecrypt encrypts or decrypts one file with a passphrase in one
AES-256-CBC pass; cascadecrypt runs two passes with two independent keys.
They print nothing and report through their exit status only. The file
format has no integrity check and no salt: see the manual pages.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcryptcore-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# find_package(cryptcore) looks for OpenSSL's headers and libcrypto in turn.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libssl-dev (>= 3.0)")
set(CPACK_COMPONENT_DEV_DESCRIPTION "library behind singlecrypt and cascadecrypt (development files)
cryptcore encrypts or decrypts a whole stream or file with a passphrase,
as singlecrypt and cascadecrypt do. This package holds the static library,
its C++20 headers and the CMake package: find_package(cryptcore) and link
cryptcore::cryptcore.")

# Debian keeps manual pages compressed; `cmake --install` leaves them plain.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress_manual_pages.cmake)

include(CPack)
