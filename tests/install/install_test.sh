#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build into a temporary prefix, checks what is there, and
# builds the consumer against it twice: with CMake through the installed
# package, and with a plain Makefile through pkg-config. What each consumer
# encrypts must decrypt with singlecrypt and cascadecrypt to the original.
# The shared library must export the C interface alone, and a C99 program
# must build against it with pkg-config alone (C_COMPILER).
# Then adds the source tree to a parent project with add_subdirectory: it must
# configure without GoogleTest or Google Benchmark, register no test, install
# nothing and leave the parent's packaging alone.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE SINGLE CASCADE CXX_COMPILER CXX_FLAGS LINKER_FLAGS
#                        [TOOLCHAIN_FILE]
# with INSTALL_BINDIR, INSTALL_LIBDIR, INSTALL_INCLUDEDIR, INSTALL_MANDIR and
# INSTALL_DOCDIR set to the build's install directories. A cross build passes
# its toolchain file and its TARGET_MULTIARCH, and CRYPTCORE_TEST_WRAPPER runs
# what it builds.
set -euo pipefail
build=$1 consumer=$2 single=$3 cascade=$4 compiler=$5 cxx_flags=$6 linker_flags=$7
toolchain=${8:-}
source "$(dirname "$0")/../support/wrap_program.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
mkdir "$work/wrapped"
single=$(wrap_program "$work/wrapped" "$single")
cascade=$(wrap_program "$work/wrapped" "$cascade")
# Where the build puts things under the prefix (GNUInstallDirs, as configured).
bindir=$INSTALL_BINDIR libdir=$INSTALL_LIBDIR includedir=$INSTALL_INCLUDEDIR mandir=$INSTALL_MANDIR
docdir=$INSTALL_DOCDIR
source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
fail() { echo "FAIL: $*"; exit 1; }
# run_logged NAME COMMAND...: runs the command, showing its output only if it fails.
run_logged() {
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 || { cat "$work/$name.log"; fail "$name"; }
}

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in "$bindir/singlecrypt" "$bindir/cascadecrypt" \
  "$mandir/man1/singlecrypt.1" "$mandir/man1/cascadecrypt.1" "$libdir/libcryptcore.a" \
  "$libdir/cmake/cryptcore/cryptcoreConfig.cmake" "$libdir/cmake/cryptcore/cryptcoreConfigVersion.cmake" \
  "$libdir/cmake/cryptcore/cryptcoreTargets.cmake" "$libdir/pkgconfig/cryptcore.pc" \
  "$libdir/pkgconfig/cryptcore-static.pc" "$libdir/libcryptcore.so.1.0.0" "$docdir/LICENSE"; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ "$(readlink "$prefix/$libdir/libcryptcore.so.1")" = libcryptcore.so.1.0.0 ] &&
  [ "$(readlink "$prefix/$libdir/libcryptcore.so")" = libcryptcore.so.1 ] ||
  fail "the shared library's links are not libcryptcore.so -> .so.1 -> .so.1.0.0"
readelf -d "$prefix/$libdir/libcryptcore.so.1.0.0" | grep -q 'SONAME.*\[libcryptcore\.so\.1\]' ||
  fail "the shared library's SONAME is not libcryptcore.so.1"
exported=$(nm -D --defined-only "$prefix/$libdir/libcryptcore.so.1.0.0" | awk '{print $3}')
[ "$(grep -c '^cryptcore_' <<<"$exported")" -eq 10 ] && ! grep -v '^cryptcore_' <<<"$exported" ||
  fail "the shared library exports more or less than the C interface: $exported"
# The public API and nothing else; none of it may need OpenSSL's headers.
headers=$(cd "$prefix/$includedir" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./cryptcore/cipher_options.hpp ./cryptcore/cryptcore.h ./cryptcore/file_cipher.hpp ./cryptcore/incremental_cipher.hpp ./cryptcore/outcome.hpp ./cryptcore/secret_bytes.hpp " ] ||
  fail "installed headers are: $headers"
! grep -n '#include *[<"]openssl/' "$prefix/$includedir"/cryptcore/* || fail "a public header includes OpenSSL"
echo "installed into $prefix: $(find "$prefix" -type f | wc -l) files"

# Only the installed package is there to be found: no build tree, no registry.
run_logged consumer-configure cmake -S "$consumer" -B "$work/consumer-build" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_TYPE=Release \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_C_COMPILER="$C_COMPILER" -DCMAKE_CXX_FLAGS="$cxx_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$linker_flags"
grep -q "cryptcore_DIR:PATH=$prefix/" "$work/consumer-build/CMakeCache.txt" ||
  fail "cryptcore was not found in the prefix"
run_logged consumer-build cmake --build "$work/consumer-build"

# The installed tree is moved before pkg-config reads it: cryptcore.pc must
# find the prefix from its own place. A cross build's pkg-config reads the
# target's .pc files only, as a cross-compiling package build's does.
mv "$prefix" "$work/moved"
mkdir "$work/make-build"
[ -z "$toolchain" ] || export PKG_CONFIG_LIBDIR=/usr/lib/$TARGET_MULTIARCH/pkgconfig:/usr/share/pkgconfig
PKG_CONFIG_PATH=$work/moved/$libdir/pkgconfig run_logged makefile-consumer \
  make -C "$work/make-build" -f "$consumer/Makefile" SOURCE_DIR="$consumer" CXX="$compiler" \
  CXXFLAGS="$cxx_flags" LDFLAGS="$linker_flags"
grep -q -- "-I$work/moved/" "$work/makefile-consumer.log" || fail "pkg-config's flags miss the moved prefix"
# The C consumer: no --static, so the shared library is what it links.
PKG_CONFIG_PATH=$work/moved/$libdir/pkgconfig run_logged c-consumer \
  sh -c '"$0" -std=c99 -Wall -Wextra -Wpedantic -Werror $1 -o "$2" "$3" $4 $(pkg-config --cflags --libs cryptcore)' \
  "$C_COMPILER" "$cxx_flags" "$work/make-build/c_consumer" "$consumer/c_consumer.c" "$linker_flags"
readelf -d "$work/make-build/c_consumer" | grep -q 'NEEDED.*\[libcryptcore\.so\.1\]' ||
  fail "the C consumer does not link the shared library"

head -c 200000 <(yes 'The quick brown fox jumps over the lazy dog.') >"$work/plain"
for made in consumer-build make-build; do
  mkdir "$work/wrapped/$made"
  consumer_program=$(wrap_program "$work/wrapped/$made" "$work/$made/consumer")
  # The stream form reads from a pipe and writes into one.
  cat "$work/plain" | "$consumer_program" "consumer secret" "$work/plain" \
    "$work/single.enc" | cat >"$work/cascade.enc"
  "$single" "dconsumer secret" "$work/single.enc" "$work/single.back"
  "$cascade" "dconsumer secret" "$work/cascade.enc" "$work/cascade.back"
  cmp "$work/plain" "$work/single.back"
  cmp "$work/plain" "$work/cascade.back"
  rm "$work"/single.* "$work"/cascade.*
done
# The installed programs read the same files.
mkdir "$work/wrapped/installed"
installed_single=$(wrap_program "$work/wrapped/installed" "$work/moved/$bindir/singlecrypt")
"$installed_single" "econsumer secret" "$work/plain" /dev/stdout |
  "$single" "dconsumer secret" /dev/stdin /dev/stdout | cmp "$work/plain" -
echo "both consumers' files decrypt with singlecrypt and cascadecrypt"
for made in consumer-build make-build; do
  mkdir "$work/wrapped/c-$made"
  c_consumer=$(wrap_program "$work/wrapped/c-$made" "$work/$made/c_consumer")
  LD_LIBRARY_PATH=$work/moved/$libdir "$c_consumer" "consumer secret" "$work/plain" "$work/c.enc" |
    grep -q "^cryptcore 1\." || fail "the C consumer of $made"
  "$single" "dconsumer secret" "$work/c.enc" /dev/stdout | cmp "$work/plain" -
done
echo "both C consumers' files decrypt with singlecrypt"

# A parent project with the source tree as a subproject, on a machine where
# GoogleTest and Google Benchmark cannot be found.
run_logged parent-configure cmake -S "$consumer" -B "$work/parent" \
  -DCRYPTCORE_SOURCE_DIR="$source" -DCMAKE_BUILD_TYPE=Release \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_C_COMPILER="$C_COMPILER" -DCMAKE_CXX_FLAGS="$cxx_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$linker_flags"
[ ! -e "$work/parent/CPackConfig.cmake" ] || fail "the subproject set up CPack for its parent"
ctest --test-dir "$work/parent" -N | grep -q "Total Tests: 0" || fail "the subproject registered tests"
run_logged parent-build cmake --build "$work/parent" --target consumer c_consumer -j2
cmake --install "$work/parent" --prefix "$work/parent-prefix" >/dev/null
[ -z "$(find "$work/parent-prefix" -type f 2>/dev/null)" ] || fail "the subproject installed files"
mkdir "$work/wrapped/parent"
parent_consumer=$(wrap_program "$work/wrapped/parent" "$work/parent/consumer")
"$parent_consumer" "consumer secret" "$work/plain" "$work/single.enc" </dev/null >/dev/null
"$single" "dconsumer secret" "$work/single.enc" /dev/stdout | cmp "$work/plain" -
echo "as a subproject: no tests, no install rules, no CPack; its consumer works"
