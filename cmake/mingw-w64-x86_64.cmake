# SPDX-License-Identifier: Apache-2.0
# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# model, for std::thread) and runs what it builds under Wine:
#   cmake --workflow --preset windows
# scripts/ensure-deps.sh --for windows installs both. Wine keeps its prefix in
# the build folder, so that runs leave ~/.wine and other builds alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CRYPTCORE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CRYPTCORE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CRYPTCORE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CRYPTCORE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CRYPTCORE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 package puts the 64-bit loader here, beside the `wine`
# wrapper script of the wine package.
find_program(CRYPTCORE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
find_program(CRYPTCORE_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine
  NO_CMAKE_FIND_ROOT_PATH)
set(CRYPTCORE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
if(CRYPTCORE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEDEBUG=-all WINEPREFIX=${CRYPTCORE_WINE_PREFIX} ${CRYPTCORE_WINE})
endif()
