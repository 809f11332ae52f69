# SPDX-License-Identifier: Apache-2.0
# Run by cpack between staging each package's files and packing them: makes
# the staged tree what a Debian package holds, as Debian's own tools would.
# - the copyright file and the Debian changelog (gzip -9n) in the doc folder,
#   with the upstream changelog beside them, and lintian's overrides (each
#   with its reason) in share/lintian/overrides;
# - manual pages compressed with gzip -9n;
# - programs and the shared library without the .comment and .note sections,
#   and the static library without debugging symbols, as dh_strip leaves them.
find_program(GZIP gzip REQUIRED)
# The build's own strip, which knows a cross build's machine.
set(STRIP "${CPACK_CRYPTCORE_STRIP}")
if(NOT STRIP)
  find_program(STRIP NAMES strip REQUIRED)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/run_or_fail.cmake)

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER "${component}" upper)
  set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
  set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")
  if(NOT package OR NOT IS_DIRECTORY "${root}")
    message(FATAL_ERROR "nothing staged for the component ${component} in ${root}")
  endif()

  set(doc "${root}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY_FILE "${CPACK_CRYPTCORE_DEBIAN_DIR}/copyright" "${doc}/copyright")
  configure_file("${CPACK_CRYPTCORE_DEBIAN_DIR}/changelog.in" "${doc}/changelog.Debian" @ONLY)
  file(COPY_FILE "${CPACK_CRYPTCORE_CHANGELOG}" "${doc}/changelog")
  file(CHMOD "${doc}/copyright" "${doc}/changelog.Debian" "${doc}/changelog"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  run(${GZIP} -9nf "${doc}/changelog.Debian" "${doc}/changelog")
  set(overrides "${root}/share/lintian/overrides/${package}")
  configure_file("${CPACK_CRYPTCORE_DEBIAN_DIR}/lintian-overrides.in" "${overrides}" @ONLY)
  file(CHMOD "${overrides}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  file(GLOB pages "${root}/share/man/man[1-9]/*.[1-9]")
  foreach(page IN LISTS pages)
    run(${GZIP} -9nf "${page}")
  endforeach()

  file(GLOB programs "${root}/bin/*")
  file(GLOB_RECURSE libraries "${root}/lib/*.so.*")
  list(FILTER libraries EXCLUDE REGEX "/[^/]*\\.so\\.[0-9]+$")
  foreach(program IN LISTS programs libraries)
    run(${STRIP} --remove-section=.comment --remove-section=.note "${program}")
  endforeach()
  file(GLOB_RECURSE archives "${root}/lib/*.a")
  foreach(archive IN LISTS archives)
    run(${STRIP} --strip-debug --remove-section=.comment --remove-section=.note
        --enable-deterministic-archives "${archive}")
  endforeach()
endforeach()
