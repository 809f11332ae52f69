#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-builds both programs and the unit tests for 64-bit Windows (the
# windows presets: MinGW-w64, CNG, warnings as errors) into build-windows/,
# runs the suite under Wine and makes the ZIP. Given a folder with the Linux
# programs, the interoperation test also checks the .exe files against them.
# Usage: windows.sh [LINUX_PROGRAMS_DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
linux_programs=${1:+$(cd "$1" && pwd)}
"$root/scripts/ensure-deps.sh" --for windows
cd "$root"
cmake --preset windows -DCRYPTCORE_LINUX_PROGRAMS="${linux_programs:-}" >/dev/null
cmake --build --preset windows
ctest --preset windows
cpack --preset windows
