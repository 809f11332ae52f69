#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every tracked source, script and build file names its licence on its first
# line, or on its second after a shebang. The files of cmake/debian/ are
# data copied into the packages, and JSON has no comments: both are left out.
# Usage: spdx_test.sh SOURCE_DIR (exits 77, skipped, outside a git checkout)
set -u
cd "$1"
files=$(git ls-files -- '*.c' '*.h' '*.cpp' '*.hpp' '*.map' '*.def' '*.sh' '*.py' '*.awk' '*.cmake' '*.in' '*CMakeLists.txt' \
  '*Makefile' '.ci/*' '.clang-format' ':!cmake/debian/*' 2>/dev/null) ||
  { echo "skipped: $1 is not a git checkout"; exit 77; }
checked=0
missing=0
while IFS= read -r file; do
  line=$(head -n 2 "$file")
  [[ $line == '#!'* ]] && line=${line#*$'\n'} || line=${line%%$'\n'*}
  checked=$((checked + 1))
  if [[ $line != *"SPDX-License-Identifier: Apache-2.0" ]]; then
    echo "FAIL: $file does not start with its SPDX-License-Identifier line"
    missing=$((missing + 1))
  fi
done <<<"$files"
echo "$checked files checked, $missing without the line"
[ "$missing" -eq 0 ] && [ "$checked" -gt 0 ]
