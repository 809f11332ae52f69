# SPDX-License-Identifier: Apache-2.0
# Read by cpack for each generator before it makes a package.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_DEBIAN_PACKAGE_MAINTAINER)
  message(FATAL_ERROR "A Debian package needs a Maintainer: configure with "
                      "-DCRYPTCORE_PACKAGE_MAINTAINER=\"Name <address>\", or run "
                      "cpack -D CPACK_DEBIAN_PACKAGE_MAINTAINER=\"Name <address>\"")
endif()
