#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A round trip of a file over 4 GiB with both programs: encrypt a sparse
# plaintext of 4 GiB + 100,003 bytes to a file, check the ciphertext's length,
# decrypt it through a pipe and compare with the plaintext. Marker bytes at the
# start, across the 4 GiB boundary and at the end make every region count.
# Usage: large_file_test.sh SINGLE CASCADE
# The work folder is made in $CRYPTCORE_LARGE_DIR (default /var/tmp); it needs
# about 4.1 GiB free (the plaintext is sparse, the ciphertext is not).
set -u
single=$(realpath "$1")
cascade=$(realpath "$2")
source "$(dirname "$0")/../support/wrap_program.sh"
parent=${CRYPTCORE_LARGE_DIR:-/var/tmp}
work=$(mktemp -d "$parent/cryptcore-large.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir wrapped
single=$(wrap_program "$work/wrapped" "$single")
cascade=$(wrap_program "$work/wrapped" "$cascade")

chunk=65536
size=$(((1 << 32) + 100003))
free_kib=$(df -Pk . | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt $((size / 1024 + 1048576)) ]; then
  echo "FAIL: $parent has ${free_kib} KiB free, needs about $((size / 1024 / 1024 + 1024)) MiB"
  echo "0 passed, 1 failed"
  exit 1
fi

truncate -s "$size" plain
put() { printf '%s' "$2" | dd of=plain bs=1 seek="$1" conv=notrunc status=none; }
put 0 "start of the large file"
put $(((1 << 32) - 7)) "across the 4 GiB boundary"
put $((size - 11)) "end of file"

passed=0
failed=0
for prog in "$single" "$cascade"; do
  p=$(basename "$prog")
  passes=1
  [ "$p" = cascadecrypt ] && passes=2
  tail=$((size % chunk))
  expected=$((size - tail + tail - tail % 16 + 16 * passes))

  start=$(date +%s)
  "$prog" "elarge file passphrase" plain cipher
  status=$?
  encrypted=$(date +%s)
  actual=$(stat -c %s cipher 2>/dev/null || echo none)
  if [ "$status" != 0 ] || [ "$actual" != "$expected" ]; then
    echo "FAIL: $p encrypt: status $status, $actual bytes, expected 0 and $expected bytes"
    failed=$((failed + 1))
    rm -f cipher
    continue
  fi
  "$prog" "dlarge file passphrase" cipher /dev/stdout | cmp - plain
  result=("${PIPESTATUS[@]}")
  decrypted=$(date +%s)
  rm -f cipher
  if [ "${result[0]}" != 0 ] || [ "${result[1]}" != 0 ]; then
    echo "FAIL: $p decrypt: status ${result[0]}, compare status ${result[1]}"
    failed=$((failed + 1))
    continue
  fi
  echo "$p: $size bytes -> $expected encrypted in $((encrypted - start)) s -> decrypted and equal in $((decrypted - encrypted)) s"
  passed=$((passed + 1))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
