# SPDX-License-Identifier: Apache-2.0
# Turns the results bench/run.sh records into its table, ratios and targets.
# Input lines:
#   file SIZE ROUNDS SMALL_RUNS DIR      the large file's bytes and the settings
#   load_before|load_after L1 L5 L15     the load average around the run
#   sample NAME VALUE                    a wall time in microseconds, or for
#                                        limit_enc and limit_dec bytes per second
#   peak NAME KIB                        the peak resident memory of one run
# NAME's median over its samples is the figure; a peak is NAME's largest.

# The 1 KiB file's time against openssl enc's before the second thread, the
# worst of the runs recorded then on the development machine: 0.70 to 0.72
# with libcrypto linked in, 0.92 to 0.96 with the shared one.
BEGIN { small_before["static"] = 0.72; small_before["shared"] = 0.96; linking = "shared" }
$1 == "linking" { linking = $2 }

$1 == "file" {
  size = $2; rounds = $3; small_runs = $4
  dir = $0; sub(/^file [^ ]+ [^ ]+ [^ ]+ /, "", dir)
}
$1 == "load_before" { load = $2 " " $3 " " $4 }
$1 == "load_after" { load = load " before, " $2 " " $3 " " $4 " after" }
$1 == "sample" { values[$2, ++count[$2]] = $3 }
$1 == "peak" { if ($3 / 1024 > peak[$2]) peak[$2] = $3 / 1024 }

function median(name,    n, i, j, v, sorted) {
  n = count[name]
  for (i = 1; i <= n; i++) {
    v = values[name, i]
    for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
    sorted[j + 1] = v
  }
  return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
}
function max(a, b) { return a > b ? a : b }
# MB/s (10^6 bytes) of `passes` passes over the file in `us` microseconds.
function mbs(us, passes) { return passes * size / us }
function row(label, name, passes, limit, theirs, copy) {
  printf "%-26s %8.3f s %7.0f MB/s", label, m[name] / 1e6, mbs(m[name], 1)
  if (theirs != "") printf "    %6.2fx", m[theirs] / m[name]; else if (limit != "") printf "%11s", ""
  if (limit != "") printf "     %6.2f", mbs(m[name], passes) / (m[limit] / 1e6)
  if (copy != "") printf "    %6.2fx", m[copy] / m[name]
  printf "\n"
}
function verdict(ok) { return ok ? "met" : "MISSED" }

END {
  for (key in count) m[key] = median(key)
  printf "Benchmark: a file of %d MiB and 1,000 bytes in %s, median of %d rounds\n",
         int(size / 1048576), dir, rounds
  printf "Load average (1, 5, 15 min): %s\n\n", load
  printf "%-26s %10s %12s %10s %10s %9s\n", "", "time", "throughput", "vs openssl", "pass/limit",
         "vs copy"
  printf "%-26s %10s %7.0f MB/s\n", "cipher limit, encrypt", "", m["limit_enc"] / 1e6
  printf "%-26s %10s %7.0f MB/s\n", "cipher limit, decrypt", "", m["limit_dec"] / 1e6
  row("copy, dd bs=64k", "copy")
  row("singlecrypt encrypt", "single_enc", 1, "limit_enc", "openssl_enc")
  row("openssl enc", "openssl_enc", 1, "limit_enc")
  row("ciphertext copy, dd bs=64k", "copy_cipher")
  row("singlecrypt decrypt", "single_dec", 1, "limit_dec", "openssl_dec", "copy_cipher")
  row("openssl enc -d", "openssl_dec", 1, "limit_dec", "", "copy_cipher")
  row("cascadecrypt encrypt", "cascade_enc", 2, "limit_enc", "openssl_cascade_enc")
  row("openssl enc, 2 runs", "openssl_cascade_enc", 2, "limit_enc")
  row("cascadecrypt decrypt", "cascade_dec", 2, "limit_dec", "openssl_cascade_dec", "copy_cipher")
  row("openssl enc -d, 2 runs", "openssl_cascade_dec", 2, "limit_dec", "", "copy_cipher")

  printf "\n1 KiB file, median of %d runs each:\n", small_runs
  printf "  %-24s %8.2f ms\n", "openssl enc", m["small_openssl"] / 1e3
  printf "  %-24s %8.2f ms   %5.2fx openssl enc\n", "singlecrypt", m["small_single"] / 1e3,
         m["small_single"] / m["small_openssl"]
  printf "  %-24s %8.2f ms   %5.2fx openssl enc\n", "cascadecrypt", m["small_cascade"] / 1e3,
         m["small_cascade"] / m["small_openssl"]

  printf "\nPeak memory (maximum resident set):\n"
  for (passes = 1; passes <= 2; passes++) {
    name = passes == 1 ? "single" : "cascade"
    printf "  %-24s %6.1f MiB on the large file, %4.1f MiB on 8 MiB, %4.1f MiB on 1 KiB\n",
           name "crypt", max(peak[name "_enc"], peak[name "_dec"]), peak["medium_" name],
           peak["small_" name]
  }
  printf "  %-24s %6.1f MiB on the large file\n", "openssl enc",
         max(peak["openssl_enc"], peak["openssl_dec"])

  # Encryption per pass against the cipher's one-core limit (the cascade's
  # two passes run on two cores); decryption against a copy of its file;
  # the 1 KiB file against openssl enc, no slower than before the second
  # thread; memory the same on 8 MiB as on the large file.
  printf "\nTargets:\n"
  for (passes = 1; passes <= 2; passes++) {
    name = passes == 1 ? "single" : "cascade"
    theirs = passes == 1 ? "openssl" : "openssl_cascade"
    goal = passes == 1 ? 0.90 : 1.45
    per_pass = mbs(m[name "_enc"], passes) / (m["limit_enc"] / 1e6)
    faster = m[theirs "_enc"] / m[name "_enc"]
    printf "  %-12s encrypt: %.3f of the limit per pass (>= %.2f) %s; %.3fx openssl enc (>= 1.35) %s\n",
           name "crypt", per_pass, goal, verdict(per_pass >= goal), faster, verdict(faster >= 1.35)
    copy = m["copy_cipher"] / m[name "_dec"]
    faster = m[theirs "_dec"] / m[name "_dec"]
    printf "  %-12s decrypt: %.3fx a dd bs=64k copy (>= 0.95) %s; %.3fx openssl enc -d\n",
           name "crypt", copy, verdict(copy >= 0.95), faster
    ratio = m["small_" name] / m["small_openssl"]
    before = small_before[linking]
    printf "  %-12s 1 KiB:   %.3fx openssl enc's wall time (<= %.2f as before, %s) %s\n",
           name "crypt", ratio, before, linking, verdict(ratio <= before)
    large = max(peak[name "_enc"], peak[name "_dec"])
    printf "  %-12s memory:  %.1f MiB, %.1f MiB on 8 MiB (< 8 MiB, not growing) %s\n",
           name "crypt", large, peak["medium_" name],
           verdict(large < 8 && large - peak["medium_" name] < 0.5)
  }
}
