# SPDX-License-Identifier: Apache-2.0
# Run by cpack once it has made the Debian packages: the shared library's
# package gets what Debian policy asks and CPack 3.25 cannot give. Its
# postinst and postrm, which CPack writes only to call ldconfig, go (the
# package's ldconfig trigger does that work), and its control file gets
# Multi-Arch: same, so that the library of several architectures can be
# installed side by side. The package is then built again from its parts.
find_program(DPKG_DEB dpkg-deb REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/run_or_fail.cmake)

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  if(NOT name MATCHES "^libcryptcore[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/finish-${name}")
  file(REMOVE_RECURSE "${tree}")
  run(${DPKG_DEB} --raw-extract "${package}" "${tree}")
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  file(READ "${tree}/DEBIAN/control" control)
  string(REPLACE "\nDepends:" "\nMulti-Arch: same\nDepends:" control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  run(${DPKG_DEB} --root-owner-group -Zgzip --build "${tree}" "${package}")
  file(REMOVE_RECURSE "${tree}")
endforeach()
