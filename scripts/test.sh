#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything with warnings as errors and runs the whole test suite.
# Usage: test.sh [CMAKE_OPTION...], e.g. -DCRYPTCORE_SANITIZE=ON for the
# AddressSanitizer and UndefinedBehaviorSanitizer build, or --preset arm64
# for one of the presets (after ensure-deps.sh --for arm64); BUILD_DIR still
# says where it builds.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/ensure-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCRYPTCORE_WERROR=ON -DBUILD_TESTING=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
