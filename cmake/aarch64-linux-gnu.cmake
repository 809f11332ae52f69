# SPDX-License-Identifier: Apache-2.0
# Cross-builds for Linux arm64 on a Debian amd64 machine with the Debian
# cross compiler, against the arm64 libraries of Debian's multiarch
# (libssl-dev:arm64 and the others that scripts/ensure-deps.sh --for arm64
# installs). Tests and the programs they run go through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
# Libraries and CMake packages are looked up in the arm64 multiarch folders
# (/usr/lib/aarch64-linux-gnu) and never in the machine's own.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# FindOpenSSL asks pkg-config first, which would name the machine's own
# libcrypto: it must read the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# The arm64 loader and libraries are installed where the programs look for
# them (/lib/ld-linux-aarch64.so.1, /lib/aarch64-linux-gnu), so qemu needs no
# prefix of its own.
find_program(CRYPTCORE_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CRYPTCORE_QEMU_AARCH64})
