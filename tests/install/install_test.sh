#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what is there, builds the
# consumer project against the installed CMake package and runs it; what it
# encrypts must decrypt with singlecrypt and cascadecrypt to the original.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE SINGLE CASCADE CXX_COMPILER CXX_FLAGS LINKER_FLAGS
#                        [TOOLCHAIN_FILE]
# A cross build passes its toolchain file, and CRYPTCORE_TEST_WRAPPER runs
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

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/singlecrypt bin/cascadecrypt \
  share/man/man1/singlecrypt.1 share/man/man1/cascadecrypt.1 \
  lib/libcryptcore.a include/cryptcore/file_cipher.hpp include/cryptcore/outcome.hpp \
  lib/cmake/cryptcore/cryptcoreConfig.cmake lib/cmake/cryptcore/cryptcoreConfigVersion.cmake \
  lib/cmake/cryptcore/cryptcoreTargets.cmake; do
  [ -f "$prefix/$file" ] || { echo "FAIL: $file is not installed"; exit 1; }
done
echo "installed into $prefix: $(find "$prefix" -type f | wc -l) files"

# Only the installed package is there to be found: no build tree, no registry.
cmake -S "$consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_TYPE=Release \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
  -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_CXX_FLAGS="$cxx_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$linker_flags" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; echo "FAIL: the consumer does not configure"; exit 1; }
grep -q "cryptcore_DIR:PATH=$prefix/" "$work/consumer-build/CMakeCache.txt" ||
  { echo "FAIL: cryptcore was not found in the prefix"; exit 1; }
cmake --build "$work/consumer-build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; echo "FAIL: the consumer does not build"; exit 1; }

head -c 200000 <(yes 'The quick brown fox jumps over the lazy dog.') >"$work/plain"
# The stream form reads from a pipe and writes into one.
consumer_program=$(wrap_program "$work/wrapped" "$work/consumer-build/consumer")
cat "$work/plain" | "$consumer_program" "consumer secret" "$work/plain" \
  "$work/single.enc" | cat >"$work/cascade.enc"
"$single" "dconsumer secret" "$work/single.enc" "$work/single.back"
"$cascade" "dconsumer secret" "$work/cascade.enc" "$work/cascade.back"
cmp "$work/plain" "$work/single.back"
cmp "$work/plain" "$work/cascade.back"
# The installed programs read the same files.
mkdir "$work/wrapped/installed"
installed_single=$(wrap_program "$work/wrapped/installed" "$prefix/bin/singlecrypt")
"$installed_single" "dconsumer secret" "$work/single.enc" /dev/stdout | cmp "$work/plain" -
echo "the consumer's files decrypt with singlecrypt and cascadecrypt"
