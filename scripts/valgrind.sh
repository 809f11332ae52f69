#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the test suite under valgrind's memcheck: the unit tests, the C
# interface's test, then the driver-level table (tests/cli/cli_test.sh) with
# every run of both programs under valgrind. Any memory error or definite
# leak fails the run (valgrind exits 99, which no row expects). Takes about
# 5 minutes on 2 cores.
# Usage: valgrind.sh [CMAKE_OPTION...]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VALGRIND_BUILD_DIR:-$root/build-valgrind}
"$root/scripts/ensure-deps.sh" valgrind
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRYPTCORE_WERROR=ON -DBUILD_TESTING=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# --vgdb=no: valgrind then writes no file of its own, which a row that sets
# the file-size limit to 0 would refuse.
memcheck="valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect"
memcheck+=" --errors-for-leak-kinds=definite,indirect --vgdb=no"
echo "valgrind: unit tests"
$memcheck "$build/tests/cryptcore_tests" --gtest_brief=1
echo "valgrind: the C interface from C, against the shared library"
(cd "$build/tests/c_api_shared" && $memcheck "$build/tests/c_api_test_shared" "$root/tests/data/files.tsv")
echo "valgrind: both programs through tests/cli/cli_test.sh"
CRYPTCORE_TEST_WRAPPER=$memcheck bash "$root/tests/cli/cli_test.sh" \
  "$build/programs/singlecrypt" "$build/programs/cascadecrypt" "$build/tests/libcryptfault.so"
