# SPDX-License-Identifier: Apache-2.0
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
#   libcryptcore-dev  the library, its headers, its CMake package and its
#                     pkg-config file.
# Each gets the copyright file and the Debian changelog in its doc folder,
# stripped binaries and compressed manual pages (cmake/prepare_debian_packages.cmake).
set(CPACK_PACKAGE_NAME cryptcore)
set(CPACK_PACKAGE_VENDOR "cryptcore")

# No placeholder: a package names a real person or team, given on purpose.
set(CRYPTCORE_PACKAGE_MAINTAINER "" CACHE STRING
  "The Maintainer of the Debian packages, as \"Name <address>\"; required to make them")
if(CRYPTCORE_PACKAGE_MAINTAINER AND
   NOT CRYPTCORE_PACKAGE_MAINTAINER MATCHES "^[^<>@]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "CRYPTCORE_PACKAGE_MAINTAINER must read \"Name <address>\", "
                      "not \"${CRYPTCORE_PACKAGE_MAINTAINER}\"")
endif()
set(CPACK_PACKAGE_CONTACT "${CRYPTCORE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CRYPTCORE_PACKAGE_MAINTAINER}")
# Read by cpack before it makes anything: it stops there without a Maintainer.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/require_maintainer.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs dev)
# A Debian revision, so that the packages carry a Debian changelog of their own.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# CPack names the machine's own architecture; a cross build's packages hold
# programs for another one (arm64 for aarch64-linux-gnu).
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()

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
# The static library needs libcrypto at link time, which find_package(cryptcore)
# and pkg-config's libcrypto.pc look for.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libssl-dev (>= 3.0)")
set(CPACK_COMPONENT_DEV_DESCRIPTION "library behind singlecrypt and cascadecrypt (development files)
cryptcore encrypts or decrypts a whole stream or file with a passphrase,
as singlecrypt and cascadecrypt do. This package holds the static library,
its C++ headers, its CMake package (find_package(cryptcore), then link
cryptcore::cryptcore) and its pkg-config file.")

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/prepare_debian_packages.cmake)
# For that script: the files every package carries.
set(CPACK_CRYPTCORE_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_CRYPTCORE_CHANGELOG ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
set(CPACK_CRYPTCORE_STRIP "${CMAKE_STRIP}")

include(CPack)
