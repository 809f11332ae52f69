#!/usr/bin/env bash
# Measures singlecrypt and cascadecrypt beside `openssl enc` on one file and
# prints one table of throughputs and ratios. Contenders alternate within
# each round and every figure is the median over the rounds; the file is
# removed at the end.
#
# Usage: bench/run.sh [--size MIB] [--dir DIR] [--rounds N] [--small-runs N]
#                     [--build-dir DIR] [--no-build]
#   --size MIB       the large file: MIB MiB and 1,000 bytes of random data (512)
#   --dir DIR        where the files go (/dev/shm); needs about 8 times the size
#   --rounds N       rounds over the large file (5)
#   --small-runs N   runs of each program on the 1 KiB file (200)
#   --build-dir DIR  the CMake build to use (build-bench)
#   --no-build       use the build as it is; stop with status 77 if a tool is
#                    missing instead of installing it (for the test suite)
# The same settings can come from BENCH_SIZE_MIB, BENCH_DIR, BENCH_ROUNDS,
# BENCH_SMALL_RUNS and BUILD_DIR.
set -eu
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${BENCH_SIZE_MIB:-512}
dir=${BENCH_DIR:-/dev/shm}
rounds=${BENCH_ROUNDS:-5}
small_runs=${BENCH_SMALL_RUNS:-200}
build=${BUILD_DIR:-$root/build-bench}
build_first=1
while [ $# -gt 0 ]; do
  case $1 in
    --size) size_mib=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --small-runs) small_runs=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --no-build) build_first=0; shift ;;
    *) sed -n '/^# Usage/,/^# BENCH_SMALL_RUNS/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
for number in "$size_mib" "$rounds" "$small_runs"; do
  [[ $number =~ ^[1-9][0-9]*$ ]] || { echo "not a positive number: $number" >&2; exit 2; }
done

if [ "$build_first" = 1 ]; then
  # GNU time reports the peak memory; only the benchmark needs it.
  "$root/scripts/ensure-deps.sh" time openssl
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCRYPTCORE_BUILD_TESTS=OFF >/dev/null
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
# The input, our two ciphertexts, openssl's, an intermediate, two decryptions
# and a copy: about 8 times the file.
needed_kib=$((8 * (size_mib * 1024 + 1)))
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
read -r key_1 iv_1 < <("$openssl_keys" single "$passphrase")
{ read -r _ _ && read -r key_2 iv_2; } < <("$openssl_keys" cascade "$passphrase")

declare -A samples=() peak_kib=()
# elapsed_us: the wall time of the last timed command, in microseconds.
elapsed_us=0
timed() {
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  elapsed_us=$((10#${end//[.,]/} - 10#${start//[.,]/}))
}

# measure NAME COMMAND... [\; COMMAND...]: runs the commands one after the
# other and keeps their total wall time as a sample of NAME, and their peak
# resident memory, taken by GNU time, as NAME's maximum.
measure() {
  local name=$1 total=0 kib command
  shift
  while [ $# -gt 0 ]; do
    command=()
    while [ $# -gt 0 ] && [ "$1" != ";" ]; do
      command+=("$1")
      shift
    done
    [ $# -eq 0 ] || shift
    timed /usr/bin/time -f %M -o "$work/rss" "${command[@]}"
    total=$((total + elapsed_us))
    kib=$(tail -n 1 "$work/rss")
    [ "${peak_kib[$name]:-0}" -ge "$kib" ] || peak_kib[$name]=$kib
  done
  samples[$name]+=" $total"
}

openssl_enc=(openssl enc -aes-256-cbc)
openssl_dec=(openssl enc -d -aes-256-cbc)
same() { cmp -s "$1" "$2" || { echo "FAILED: $3: $1 and $2 differ" >&2; exit 1; }; }

# The bytes per second of the 16384-byte buffer, by wall clock like ours.
cipher_limit() {
  openssl speed -elapsed -mr -seconds 1 -bytes 16384 "$@" -evp aes-256-cbc 2>/dev/null |
    awk -F: '$1 == "+F" { printf "%.0f\n", $4 }'
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((round = 1; round <= rounds; round++)); do
  echo "round $round of $rounds" >&2
  # Outputs are removed before each run, so that no contender pays for
  # freeing the last one's pages.
  rm -f "$work"/*.enc "$work"/*.dec "$work/mid" "$work/copy"
  measure copy dd if="$work/plain" of="$work/copy" bs=64k status=none
  rm -f "$work/copy"

  measure single_enc "$single" "e$passphrase" "$work/plain" "$work/single.enc"
  measure openssl_enc "${openssl_enc[@]}" -K "$key_1" -iv "$iv_1" -in "$work/plain" \
    -out "$work/theirs.enc"
  same "$work/single.enc" "$work/theirs.enc" "singlecrypt and openssl enc"
  rm -f "$work/theirs.enc"
  measure single_dec "$single" "d$passphrase" "$work/single.enc" "$work/ours.dec"
  measure openssl_dec "${openssl_dec[@]}" -K "$key_1" -iv "$iv_1" -in "$work/single.enc" \
    -out "$work/theirs.dec"
  same "$work/ours.dec" "$work/plain" "singlecrypt decryption"
  same "$work/theirs.dec" "$work/plain" "openssl enc -d"
  rm -f "$work"/*.dec

  measure cascade_enc "$cascade" "e$passphrase" "$work/plain" "$work/cascade.enc"
  # The cascade's work with openssl: one run per key, chained through a file.
  measure openssl_cascade_enc \
    "${openssl_enc[@]}" -K "$key_1" -iv "$iv_1" -in "$work/plain" -out "$work/mid" \; \
    "${openssl_enc[@]}" -K "$key_2" -iv "$iv_2" -in "$work/mid" -out "$work/theirs.enc"
  same "$work/cascade.enc" "$work/theirs.enc" "cascadecrypt and two openssl enc runs"
  rm -f "$work/theirs.enc" "$work/mid"
  measure cascade_dec "$cascade" "d$passphrase" "$work/cascade.enc" "$work/ours.dec"
  measure openssl_cascade_dec \
    "${openssl_dec[@]}" -K "$key_2" -iv "$iv_2" -in "$work/cascade.enc" -out "$work/mid" \; \
    "${openssl_dec[@]}" -K "$key_1" -iv "$iv_1" -in "$work/mid" -out "$work/theirs.dec"
  rm -f "$work/mid"
  same "$work/ours.dec" "$work/plain" "cascadecrypt decryption"
  same "$work/theirs.dec" "$work/plain" "two openssl enc -d runs"

  samples[limit_enc]+=" $(cipher_limit)"
  samples[limit_dec]+=" $(cipher_limit -decrypt)"
done

# Start-up: the 1 KiB file, the three programs in turn, many times.
echo "1 KiB file, $small_runs runs each" >&2
for ((run = 1; run <= small_runs; run++)); do
  timed "$single" "e$passphrase" "$work/small" "$work/small.single"
  samples[small_single]+=" $elapsed_us"
  timed "$cascade" "e$passphrase" "$work/small" "$work/small.cascade"
  samples[small_cascade]+=" $elapsed_us"
  timed "${openssl_enc[@]}" -K "$key_1" -iv "$iv_1" -in "$work/small" -out "$work/small.theirs"
  samples[small_openssl]+=" $elapsed_us"
done
same "$work/small.single" "$work/small.theirs" "singlecrypt and openssl enc on 1 KiB"
for program in single cascade; do
  # The peak memory on the small file, to set beside the large file's.
  /usr/bin/time -f %M -o "$work/rss" "${!program}" "e$passphrase" "$work/small" "$work/small.out"
  peak_kib[small_$program]=$(tail -n 1 "$work/rss")
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

median() { tr ' ' '\n' <<<"${samples[$1]}" | sed '/^$/d' | sort -n |
  awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

{
  echo "size $size rounds $rounds small_runs $small_runs"
  echo "load $load_before / $load_after"
  for name in "${!samples[@]}"; do echo "median $name $(median "$name")"; done
  for name in "${!peak_kib[@]}"; do echo "peak $name ${peak_kib[$name]}"; done
} | awk -v dir="$dir" '
  $1 == "size" { size = $2; rounds = $4; small_runs = $6 }
  $1 == "load" { load = $2 " " $3 " " $4 " before, " $6 " " $7 " " $8 " after" }
  $1 == "median" { m[$2] = $3 }
  $1 == "peak" { peak[$2] = $3 / 1024 }
  function mbs(us, passes) { return passes * size / us }
  function row(label, name, passes, limit, theirs) {
    printf "%-28s %8.3f s %7.0f MB/s", label, m[name] / 1e6, mbs(m[name], 1)
    if (theirs != "") printf "   %5.2fx", m[theirs] / m[name]; else printf "   %6s", ""
    if (limit != "") printf "   %5.2f", mbs(m[name], passes) / (m[limit] / 1e6)
    printf "\n"
  }
  function verdict(ok) { return ok ? "met" : "MISSED" }
  END {
    printf "Benchmark: a file of %d MiB and 1,000 bytes in %s, median of %d rounds\n",
           int(size / 1048576), dir, rounds
    printf "Load average (1, 5, 15 min): %s\n\n", load
    printf "%-28s %10s %12s %11s %11s\n", "", "time", "throughput", "vs openssl",
           "pass/limit"
    printf "%-28s %10s %7.0f MB/s\n", "cipher limit, encrypt", "", m["limit_enc"] / 1e6
    printf "%-28s %10s %7.0f MB/s\n", "cipher limit, decrypt", "", m["limit_dec"] / 1e6
    row("copy, dd bs=64k", "copy")
    row("singlecrypt encrypt", "single_enc", 1, "limit_enc", "openssl_enc")
    row("openssl enc", "openssl_enc", 1, "limit_enc")
    row("singlecrypt decrypt", "single_dec", 1, "limit_dec", "openssl_dec")
    row("openssl enc -d", "openssl_dec", 1, "limit_dec")
    row("cascadecrypt encrypt", "cascade_enc", 2, "limit_enc", "openssl_cascade_enc")
    row("openssl enc, 2 runs", "openssl_cascade_enc", 2, "limit_enc")
    row("cascadecrypt decrypt", "cascade_dec", 2, "limit_dec", "openssl_cascade_dec")
    row("openssl enc -d, 2 runs", "openssl_cascade_dec", 2, "limit_dec")
    printf "\n1 KiB file, median of %d runs each:\n", small_runs
    printf "  %-26s %8.2f ms\n", "openssl enc", m["small_openssl"] / 1e3
    for (p = 1; p <= 2; p++) {
      name = p == 1 ? "single" : "cascade"
      printf "  %-26s %8.2f ms   %5.2fx openssl enc\n", name "crypt", m["small_" name] / 1e3,
             m["small_" name] / m["small_openssl"]
    }
    printf "\nPeak memory (maximum resident set):\n"
    printf "  %-26s %6.1f MiB on the large file, %4.1f MiB on 1 KiB\n", "singlecrypt",
           max(peak["single_enc"], peak["single_dec"]), peak["small_single"]
    printf "  %-26s %6.1f MiB on the large file, %4.1f MiB on 1 KiB\n", "cascadecrypt",
           max(peak["cascade_enc"], peak["cascade_dec"]), peak["small_cascade"]
    printf "  %-26s %6.1f MiB on the large file\n", "openssl enc",
           max(peak["openssl_enc"], peak["openssl_dec"])

    limit_enc = m["limit_enc"] / 1e6
    printf "\nTargets:\n"
    for (p = 1; p <= 2; p++) {
      name = p == 1 ? "single" : "cascade"
      other = p == 1 ? "openssl_enc" : "openssl_cascade_enc"
      per_pass = mbs(m[name "_enc"], p) / limit_enc
      printf "  %-12s encrypt: %.2f of the limit per pass (>= 0.70) %s; %.2fx openssl enc (>= 1.35) %s\n",
             name "crypt", per_pass, verdict(per_pass >= 0.70),
             m[other] / m[name "_enc"], verdict(m[other] / m[name "_enc"] >= 1.35)
      other = p == 1 ? "openssl_dec" : "openssl_cascade_dec"
      printf "  %-12s decrypt: %.2fx openssl enc -d (>= 2) %s\n", name "crypt",
             m[other] / m[name "_dec"], verdict(m[other] / m[name "_dec"] >= 2)
      ratio = m["small_" name] / m["small_openssl"]
      printf "  %-12s 1 KiB:   %.2fx openssl enc wall time (<= 0.8) %s\n", name "crypt", ratio,
             verdict(ratio <= 0.8)
      large = max(peak[name "_enc"], peak[name "_dec"])
      printf "  %-12s memory:  %.1f MiB, %.1f MiB on 1 KiB (< 8 MiB, not growing) %s\n",
             name "crypt", large,
             peak["small_" name], verdict(large < 8 && large - peak["small_" name] < 0.5)
    }
  }
  function max(a, b) { return a > b ? a : b }
'
