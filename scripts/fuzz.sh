#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets in fuzz/ with clang 14 (ASan and UBSan on) and
# runs each for a bounded time, one after the other in a single process, so
# it takes one core. Usage: fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# (default: 60 seconds each, all targets). The committed corpus in
# fuzz/corpus/TARGET is only read; what the fuzzer finds goes to the build
# directory, and a failing input is saved there as crash-*, leak-* or
# timeout-*. Exits non-zero if any target failed.
#
# A long campaign: give each target hours rather than seconds, at low
# priority and in a build folder of its own, one target at a time so that it
# takes one core, e.g.
#   FUZZ_BUILD_DIR=$PWD/build-fuzz-long nice scripts/fuzz.sh 3600 encrypt
#   FUZZ_BUILD_DIR=$PWD/build-fuzz-long nice scripts/fuzz.sh 3600 decrypt
# Each target runs some tens of thousands of inputs a second on one core, so
# an hour is over a hundred million. What a run adds to the corpus stays in
# the build folder's fuzz-runs/TARGET/corpus, and the next run there starts
# from it; copy the few inputs that reach new coverage into fuzz/corpus/TARGET
# (libFuzzer's -merge=1 picks them), and any crash-* input, once fixed, too.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(decrypt encrypt)

"$root/scripts/ensure-deps.sh" sample clang-14 libclang-rt-14-dev
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCRYPTCORE_FUZZ=ON -DBUILD_TESTING=OFF -DCRYPTCORE_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzz}" >/dev/null

status=0
for target in "${targets[@]}"; do
  work=$build/fuzz-runs/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  log=$work/last.log
  echo "fuzz $target: ${seconds}s ..."
  if "$build/fuzz/${target}_fuzz" "$work/corpus" "$root/fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" >"$log" 2>&1; then
    result=ok
  else
    result="FAILED (see $log and $work/artifacts)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  echo "fuzz $target: $result, ${runs:-?} executions in ${seconds}s, ${coverage:-cov: ?}, corpus $(ls "$work/corpus" | wc -l) new inputs"
done
exit $status
