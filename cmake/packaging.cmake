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
#   libcryptcore1     the shared library with the C interface;
#   libcryptcore-dev  the static library, the link to the shared one, the
#                     headers, the CMake package and the pkg-config files.
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
set(CPACK_COMPONENTS_ALL programs runtime dev)
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

# The shared library as Debian policy has it: named after its SONAME, its
# shlibs and symbols files (the symbols from cryptcore.def, which lists the C
# interface; a new function raises the minor version and gets its own
# version here), and the ldconfig trigger rather than ldconfig calls.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libcryptcore1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
file(STRINGS ${PROJECT_SOURCE_DIR}/core/cryptcore.def exported REGEX "^  cryptcore_")
list(TRANSFORM exported STRIP)
list(TRANSFORM exported APPEND "@Base ${PROJECT_VERSION}")
list(TRANSFORM exported PREPEND " ")
list(JOIN exported "\n" exported)
set(CRYPTCORE_DEBIAN_SYMBOLS
  "libcryptcore.so.${PROJECT_VERSION_MAJOR} libcryptcore1 #MINVER#\n* Build-Depends-Package: libcryptcore-dev\n${exported}\n")
set(library_control ${PROJECT_BINARY_DIR}/debian-libcryptcore1)
file(CONFIGURE OUTPUT ${library_control}/symbols CONTENT "${CRYPTCORE_DEBIAN_SYMBOLS}")
file(CONFIGURE OUTPUT ${library_control}/shlibs CONTENT
  "libcryptcore ${PROJECT_VERSION_MAJOR} libcryptcore1 (>= ${PROJECT_VERSION})\n")
file(CONFIGURE OUTPUT ${library_control}/triggers CONTENT "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${library_control}/shlibs ${library_control}/symbols ${library_control}/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "library behind singlecrypt and cascadecrypt (C interface)
cryptcore encrypts or decrypts data in memory, in any pieces, or a whole
file with a passphrase, exactly as singlecrypt and cascadecrypt do. This
package holds the shared library, which exports a C interface that any
language with a C foreign-function interface can call. The file format has
no integrity check and no salt: see the manual pages.")
# CPack puts ldconfig calls into the maintainer scripts of a package with a
# shared library and knows no Multi-Arch field: finish_library_package.cmake
# takes the first out of the package it made and adds the second.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/finish_library_package.cmake)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcryptcore-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static library needs libcrypto at link time, which find_package(cryptcore)
# and pkg-config's libcrypto.pc look for; the link libcryptcore.so leads to
# the shared library of this very version.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libcryptcore1 (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), libssl-dev (>= 3.0)")
set(CPACK_COMPONENT_DEV_DESCRIPTION "library behind singlecrypt and cascadecrypt (development files)
cryptcore encrypts or decrypts a whole stream or file with a passphrase,
as singlecrypt and cascadecrypt do. This package holds the C header and the
link to the shared library (pkg-config cryptcore; in CMake, link
cryptcore::shared), and the static library with its C++ headers
(pkg-config cryptcore-static; in CMake, link cryptcore::cryptcore).")

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/prepare_debian_packages.cmake)
# For that script: the files every package carries.
set(CPACK_CRYPTCORE_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_CRYPTCORE_CHANGELOG ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
set(CPACK_CRYPTCORE_STRIP "${CMAKE_STRIP}")

include(CPack)
