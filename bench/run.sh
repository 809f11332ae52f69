#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Measures singlecrypt and cascadecrypt beside `openssl enc` on one file and
# prints one table of throughputs and ratios. Each ratio is taken within a
# round, from runs back to back, and the report gives its median over the
# rounds with its spread; the files are removed at the end.
#
# Usage: bench/run.sh [--size MIB] [--dir DIR] [--rounds N] [--small-runs N]
#                     [--build-dir DIR] [--no-build]
#   --size MIB       the large file: MIB MiB and 1,000 bytes of random data (512)
#   --dir DIR        where the files go (/dev/shm); needs about 8 times the size
#                    and 16 MiB
#   --rounds N       rounds over the large file (5), after one warm-up round
#   --small-runs N   runs of each program on the 1 KiB file (200)
#   --build-dir DIR  the CMake build to use (build-bench)
#   --no-build       use the build as it is; stop with status 77 if a tool is
#                    missing instead of installing it (for the test suite)
#   --results FILE   also keep the raw samples there (report.awk reads them)
# The same settings can come from BENCH_SIZE_MIB, BENCH_DIR, BENCH_ROUNDS,
# BENCH_SMALL_RUNS and BENCH_BUILD_DIR.
set -eu
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${BENCH_SIZE_MIB:-512}
dir=${BENCH_DIR:-/dev/shm}
rounds=${BENCH_ROUNDS:-5}
small_runs=${BENCH_SMALL_RUNS:-200}
build=${BENCH_BUILD_DIR:-$root/build-bench}
build_first=1
keep_results=
while [ $# -gt 0 ]; do
  case $1 in
    --size) size_mib=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --small-runs) small_runs=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --no-build) build_first=0; shift ;;
    --results) keep_results=$2; shift 2 ;;
    *) sed -n '/^# Usage/,/^# BENCH_SMALL_RUNS/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
for number in "$size_mib" "$rounds" "$small_runs"; do
  [[ $number =~ ^[1-9][0-9]*$ ]] || { echo "not a positive number: $number" >&2; exit 2; }
done

if [ "$build_first" = 1 ]; then
  # openssl runs beside the programs; GNU time reports the peak memory.
  "$root/scripts/ensure-deps.sh" bench
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j2 --target singlecrypt cascadecrypt openssl_keys >/dev/null
else
  for tool in openssl /usr/bin/time dd; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed" >&2; exit 77; }
  done
fi
single=$build/programs/singlecrypt
cascade=$build/programs/cascadecrypt
openssl_keys=$build/bench/openssl_keys

work=$(mktemp -d "$dir/cryptbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A cross build's programs run under CRYPTCORE_TEST_WRAPPER (qemu-user): the
# test suite checks their bytes that way, though its times mean nothing then.
source "$root/tests/support/wrap_program.sh"
mkdir "$work/wrapped"
single=$(wrap_program "$work/wrapped" "$single")
cascade=$(wrap_program "$work/wrapped" "$cascade")
openssl_keys=$(wrap_program "$work/wrapped" "$openssl_keys")
# The input, our two ciphertexts, openssl's, an intermediate, two decryptions
# and a copy: about 8 times the file; and the file of 8 MiB with its output.
needed_kib=$((8 * (size_mib * 1024 + 1) + 16384))
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt "$needed_kib" ]; then
  echo "$dir has $((free_kib / 1024)) MiB free; the benchmark needs $((needed_kib / 1024)) MiB" >&2
  exit 1
fi

# The last chunk is partial, so that our programs pad it as openssl enc pads
# every file: a file of whole 65,536-byte chunks gets no padding from us.
size=$((size_mib * 1048576 + 1000))
head -c "$size" /dev/urandom >"$work/plain"
head -c 1024 /dev/urandom >"$work/small"
passphrase="bench passphrase"
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
read -r key_1 iv_1 < <("$openssl_keys" single "$passphrase") || fail "openssl_keys single"
{ read -r _ _ && read -r key_2 iv_2; } < <("$openssl_keys" cascade "$passphrase") ||
  fail "openssl_keys cascade"

# Every sample and peak goes to this file, which report.awk turns into the table.
results=$work/results
# Where the current round records: the warm-up round's figures are dropped.
sink=$results
# elapsed_us: the wall time of the last timed command, in microseconds.
elapsed_us=0
timed() {
  local start=$EPOCHREALTIME status=0
  "$@" || status=$?
  local end=$EPOCHREALTIME
  elapsed_us=$((10#${end//[.,]/} - 10#${start//[.,]/}))
  return "$status"
}

# measure NAME COMMAND... [\; COMMAND...]: runs the commands one after the
# other and records their total wall time as NAME's sample in this round, and
# the peak resident memory of each, taken by GNU time.
measure() {
  local name=$1 total=0 command
  shift
  while [ $# -gt 0 ]; do
    command=()
    while [ $# -gt 0 ] && [ "$1" != ";" ]; do
      command+=("$1")
      shift
    done
    [ $# -eq 0 ] || shift
    timed /usr/bin/time -f %M -o "$work/rss" "${command[@]}" ||
      fail "$name: ${command[0]##*/} exited with status $?"
    total=$((total + elapsed_us))
    echo "peak $name $(tail -n 1 "$work/rss")" >>"$sink"
  done
  echo "sample $name $round $total" >>"$sink"
}

openssl_enc=(openssl enc -aes-256-cbc)
openssl_dec=(openssl enc -d -aes-256-cbc)
same() { cmp -s "$1" "$2" || fail "$3: $1 and $2 differ"; }

# limit NAME [-decrypt]: records as NAME's sample in this round the bytes per
# second of the cipher alone on one core, on a 16384-byte buffer, by wall
# clock like ours.
limit() {
  local name=$1 bytes_per_second
  shift
  bytes_per_second=$(openssl speed -elapsed -mr -seconds 1 -bytes 16384 "$@" -evp aes-256-cbc \
    2>/dev/null | awk -F: '$1 == "+F" { printf "%.0f\n", $4 }')
  [ -n "$bytes_per_second" ] || fail "$name: openssl speed printed no figure"
  echo "sample $name $round $bytes_per_second" >>"$sink"
}

echo "file $size $rounds $small_runs $dir ($(stat -f -c %T "$work"))" >"$results"
# How the programs link libcrypto: start-up differs, so the 1 KiB file is held
# against what the same way of linking gave before.
linking=shared
grep -q '^CRYPTCORE_STATIC_LIBS:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null && linking=static
echo "linking $linking" >>"$results"
echo "load_before $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results"
# Round 0 warms up (page cache, first touch of tmpfs pages, the CPU's clock)
# and is not recorded. Every ratio the report judges comes from two runs back
# to back within a round: the reference right before ours, or the cipher's
# limit right after it, so that a change in the machine's load between rounds
# moves both sides alike.
for ((round = 0; round <= rounds; round++)); do
  if [ "$round" = 0 ]; then
    echo "warm-up round" >&2
    sink=/dev/null
  else
    echo "round $round of $rounds" >&2
    sink=$results
  fi
  # Outputs are removed before each run, so that no contender pays for
  # freeing the last one's pages.
  rm -f "$work"/*.enc "$work"/*.dec "$work/mid" "$work/copy"
  measure copy dd if="$work/plain" of="$work/copy" bs=64k status=none
  rm -f "$work/copy"

  measure openssl_enc "${openssl_enc[@]}" -K "$key_1" -iv "$iv_1" -in "$work/plain" \
    -out "$work/theirs.enc"
  measure single_enc "$single" "e$passphrase" "$work/plain" "$work/single.enc"
  limit limit_single_enc
  same "$work/single.enc" "$work/theirs.enc" "singlecrypt and openssl enc"
  rm -f "$work/theirs.enc"
  # Decryption is held against a copy of the very file it reads.
  measure copy_single dd if="$work/single.enc" of="$work/copy" bs=64k status=none
  rm -f "$work/copy"
  measure single_dec "$single" "d$passphrase" "$work/single.enc" "$work/ours.dec"
  limit limit_single_dec -decrypt
  measure openssl_dec "${openssl_dec[@]}" -K "$key_1" -iv "$iv_1" -in "$work/single.enc" \
    -out "$work/theirs.dec"
  same "$work/ours.dec" "$work/plain" "singlecrypt decryption"
  same "$work/theirs.dec" "$work/plain" "openssl enc -d"
  rm -f "$work"/*.dec

  # The cascade's work with openssl: one run per key, chained through a file.
  measure openssl_cascade_enc \
    "${openssl_enc[@]}" -K "$key_1" -iv "$iv_1" -in "$work/plain" -out "$work/mid" \; \
    "${openssl_enc[@]}" -K "$key_2" -iv "$iv_2" -in "$work/mid" -out "$work/theirs.enc"
  rm -f "$work/mid"
  measure cascade_enc "$cascade" "e$passphrase" "$work/plain" "$work/cascade.enc"
  limit limit_cascade_enc
  same "$work/cascade.enc" "$work/theirs.enc" "cascadecrypt and two openssl enc runs"
  rm -f "$work/theirs.enc"
  measure copy_cascade dd if="$work/cascade.enc" of="$work/copy" bs=64k status=none
  rm -f "$work/copy"
  measure cascade_dec "$cascade" "d$passphrase" "$work/cascade.enc" "$work/ours.dec"
  limit limit_cascade_dec -decrypt
  measure openssl_cascade_dec \
    "${openssl_dec[@]}" -K "$key_2" -iv "$iv_2" -in "$work/cascade.enc" -out "$work/mid" \; \
    "${openssl_dec[@]}" -K "$key_1" -iv "$iv_1" -in "$work/mid" -out "$work/theirs.dec"
  rm -f "$work/mid"
  same "$work/ours.dec" "$work/plain" "cascadecrypt decryption"
  same "$work/theirs.dec" "$work/plain" "two openssl enc -d runs"
done

# Start-up: the 1 KiB file, many runs, each with openssl enc between the two
# programs so that both are held against the run next to theirs.
echo "1 KiB file, $small_runs runs each" >&2
for ((run = 1; run <= small_runs; run++)); do
  timed "$single" "e$passphrase" "$work/small" "$work/small.single" || fail "singlecrypt on 1 KiB"
  echo "sample small_single $run $elapsed_us" >>"$results"
  timed "${openssl_enc[@]}" -K "$key_1" -iv "$iv_1" -in "$work/small" -out "$work/small.theirs" ||
    fail "openssl enc on 1 KiB"
  echo "sample small_openssl $run $elapsed_us" >>"$results"
  timed "$cascade" "e$passphrase" "$work/small" "$work/small.cascade" || fail "cascadecrypt on 1 KiB"
  echo "sample small_cascade $run $elapsed_us" >>"$results"
done
same "$work/small.single" "$work/small.theirs" "singlecrypt and openssl enc on 1 KiB"
# The peak memory on the small file and on one of 8 MiB, which is long
# enough for two threads, to set beside the large file's.
head -c $((8 * 1048576)) /dev/urandom >"$work/medium"
for program in single cascade; do
  for file in small medium; do
    /usr/bin/time -f %M -o "$work/rss" "${!program}" "e$passphrase" "$work/$file" "$work/$file.out"
    echo "peak ${file}_$program $(tail -n 1 "$work/rss")" >>"$results"
  done
done
echo "load_after $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results"
[ -z "$keep_results" ] || cp "$results" "$keep_results"
awk -f "$root/bench/report.awk" "$results"
