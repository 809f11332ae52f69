#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the two programs and nothing else (no tests, benchmarks or install
# rules, so it needs only a compiler, CMake and libcrypto), then encrypts,
# decrypts and compares the shipped sample with each of them.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/ensure-deps.sh" sample
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target singlecrypt cascadecrypt >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample=$root/samples/sample.txt
for program in singlecrypt cascadecrypt; do
  "$build/programs/$program" "esample passphrase" "$sample" "$work/sample.enc"
  "$build/programs/$program" "dsample passphrase" "$work/sample.enc" "$work/sample.dec"
  cmp "$sample" "$work/sample.dec"
  echo "$program: $(stat -c %s "$sample") bytes -> $(stat -c %s "$work/sample.enc") encrypted -> decrypted, identical"
done
