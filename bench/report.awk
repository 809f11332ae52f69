# SPDX-License-Identifier: Apache-2.0
# Turns the results bench/run.sh records into its table, ratios and targets.
# Input lines:
#   file SIZE ROUNDS SMALL_RUNS DIR      the large file's bytes and the settings
#   load_before|load_after L1 L5 L15     the load average around the run
#   sample NAME ROUND VALUE              a wall time in microseconds, or for the
#                                        limit_* names bytes per second, taken
#                                        in round (or 1 KiB run) ROUND
#   peak NAME KIB                        the peak resident memory of one run
# A time in the table is the median of NAME's samples. A ratio is worked out
# within each round, between the samples of two names with the same ROUND,
# and the figure is the median of those ratios, beside their spread.

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
$1 == "sample" {
  at[$2, $3] = $4
  if ($3 + 0 > last[$2]) last[$2] = $3 + 0
}
$1 == "peak" { if ($3 / 1024 > peak[$2]) peak[$2] = $3 / 1024 }

# The value at fraction p of the sorted xs[1..n], interpolated between the two
# samples around it (so an even count's median is the mean of the middle two).
function quantile(xs, n, p,    h, k) {
  h = 1 + (n - 1) * p
  k = int(h)
  return k < n ? xs[k] + (h - k) * (xs[k + 1] - xs[k]) : xs[n]
}
# Sorts xs[1..n] and sets low, q1, mid, q3 and high from it; returns n.
function summarize(xs, n,    i, j, v) {
  for (i = 2; i <= n; i++) {
    v = xs[i]
    for (j = i - 1; j >= 1 && xs[j] > v; j--) xs[j + 1] = xs[j]
    xs[j + 1] = v
  }
  if (n == 0) return 0
  low = xs[1]; q1 = quantile(xs, n, 0.25); mid = quantile(xs, n, 0.5)
  q3 = quantile(xs, n, 0.75); high = xs[n]
  return n
}
# Summarizes the samples of name, and of other if given.
function samples(name, other,    xs, n, r) {
  for (r = 1; r <= last[name]; r++) if ((name, r) in at) xs[++n] = at[name, r]
  for (r = 1; other != "" && r <= last[other]; r++) if ((other, r) in at) xs[++n] = at[other, r]
  return summarize(xs, n + 0)
}
# MB/s (10^6 bytes) of `passes` passes over the file in `us` microseconds.
function mbs(us, passes) { return passes * size / us }
# Summarizes the ratios of ours to reference over the rounds that have both:
# "speed" is the reference's time over ours, "time" ours over the
# reference's, and "limit" our throughput per pass over the reference's
# bytes per second (the cipher's limit).
function ratios(ours, reference, how, passes,    xs, n, r, a, b) {
  for (r = 1; r <= last[ours]; r++) {
    if (!((ours, r) in at) || !((reference, r) in at)) continue
    a = at[ours, r]; b = at[reference, r]
    xs[++n] = how == "speed" ? b / a : how == "time" ? a / b : mbs(a, passes) / (b / 1e6)
  }
  return summarize(xs, n + 0)
}
# A column of the table: the median of the rounds' ratios, or "-" if none.
function cell(count, format, width) {
  return count ? sprintf(format, mid) : sprintf("%" width "s", "-")
}
function row(label, name, passes, limit, theirs, copy) {
  if (!samples(name)) {
    printf "%-28s %10s\n", label, "-"
    return
  }
  printf "%-28s %8.3f s  %11s %7.0f MB/s", label, mid / 1e6,
         sprintf("%.3f-%.3f", low / 1e6, high / 1e6), mbs(mid, 1)
  if (theirs != "") printf "    %s", cell(ratios(name, theirs, "speed"), "%6.2fx", 7)
  else if (limit != "") printf "%11s", ""
  if (limit != "") printf "     %s", cell(ratios(name, limit, "limit", passes), "%6.2f", 6)
  if (copy != "") printf "    %s", cell(ratios(name, copy, "speed"), "%6.2fx", 7)
  printf "\n"
}
# The cipher's limit: the median of the runs after ours, of both programs.
function limit_row(label, after_single, after_cascade) {
  if (samples(after_single, after_cascade))
    printf "%-28s %10s  %11s %7.0f MB/s\n", label, "", "", mid / 1e6
  else printf "%-28s %10s  %11s %7s\n", label, "", "", "-"
}
# The 1 KiB file's median time, and ours against openssl enc's.
function small_row(label, name,    time) {
  if (!samples(name)) {
    printf "  %-24s %8s\n", label, "-"
    return
  }
  time = mid
  printf "  %-24s %8.2f ms", label, time / 1e3
  if (name != "small_openssl")
    printf "   %s openssl enc", cell(ratios(name, "small_openssl", "time"), "%5.2fx", 6)
  printf "\n"
}
function max(a, b) { return a > b ? a : b }
function verdict(ok) { return ok ? "met" : "MISSED" }
# One judged ratio: its median, range and interquartile range, the goal and
# whether the median meets it (at least goal, or with "<=" at most).
function target(label, count, unit, relation, goal, note) {
  if (!count) {
    printf "  %-36s %7s  %11s   %11s    %s %.2f  no data\n", label, "-", "", "", relation, goal
    return
  }
  printf "  %-36s %6.3f%1s  %5.3f-%5.3f   %5.3f-%5.3f    %s %.2f  %s%s\n", label, mid, unit,
         low, high, q1, q3, relation, goal,
         verdict(relation == "<=" ? mid <= goal : mid >= goal), note
}

END {
  printf "Benchmark: a file of %d MiB and 1,000 bytes in %s, median of %d rounds\n",
         int(size / 1048576), dir, rounds
  printf "Load average (1, 5, 15 min): %s\n\n", load
  printf "%-28s %10s  %11s %12s %10s %10s %9s\n", "", "time", "min-max", "throughput",
         "vs openssl", "pass/limit", "vs copy"
  limit_row("cipher limit, encrypt", "limit_single_enc", "limit_cascade_enc")
  limit_row("cipher limit, decrypt", "limit_single_dec", "limit_cascade_dec")
  row("copy, dd bs=64k", "copy")
  row("singlecrypt encrypt", "single_enc", 1, "limit_single_enc", "openssl_enc")
  row("openssl enc", "openssl_enc", 1, "limit_single_enc")
  row("copy, singlecrypt's output", "copy_single")
  row("singlecrypt decrypt", "single_dec", 1, "limit_single_dec", "openssl_dec", "copy_single")
  row("openssl enc -d", "openssl_dec", 1, "limit_single_dec", "", "copy_single")
  row("cascadecrypt encrypt", "cascade_enc", 2, "limit_cascade_enc", "openssl_cascade_enc")
  row("openssl enc, 2 runs", "openssl_cascade_enc", 2, "limit_cascade_enc")
  row("copy, cascadecrypt's output", "copy_cascade")
  row("cascadecrypt decrypt", "cascade_dec", 2, "limit_cascade_dec", "openssl_cascade_dec",
      "copy_cascade")
  row("openssl enc -d, 2 runs", "openssl_cascade_dec", 2, "limit_cascade_dec", "", "copy_cascade")

  printf "\n1 KiB file, median of %d runs each:\n", small_runs
  small_row("openssl enc", "small_openssl")
  small_row("singlecrypt", "small_single")
  small_row("cascadecrypt", "small_cascade")

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
  # two passes run on two cores) and against openssl enc; decryption against
  # a copy of its file; the 1 KiB file against openssl enc, no slower than
  # before the second thread; memory the same on 8 MiB as on the large file.
  printf "\nTargets, on the median of the rounds' own ratios:\n"
  printf "  %-36s %7s  %11s   %11s    %s\n", "", "median", "min-max", "quartiles", "goal"
  for (passes = 1; passes <= 2; passes++) {
    name = passes == 1 ? "single" : "cascade"
    theirs = passes == 1 ? "openssl" : "openssl_cascade"
    program = sprintf("%-12s ", name "crypt")
    target(program "encrypt, pass / limit", ratios(name "_enc", "limit_" name "_enc", "limit",
           passes), "", ">=", passes == 1 ? 0.90 : 1.5)
    target(program "encrypt vs openssl enc", ratios(name "_enc", theirs "_enc", "speed"), "x",
           ">=", 1.35)
    target(program "decrypt vs dd copy", ratios(name "_dec", "copy_" name, "speed"), "x",
           ">=", 0.95)
    target(program "1 KiB, time / openssl's", ratios("small_" name, "small_openssl", "time"),
           "x", "<=", small_before[linking], " (as before, " linking ")")
    large = max(peak[name "_enc"], peak[name "_dec"])
    printf "  %-12s memory:  %.1f MiB, %.1f MiB on 8 MiB (< 8 MiB, not growing) %s\n",
           name "crypt", large, peak["medium_" name],
           verdict(large < 8 && large - peak["medium_" name] < 0.5)
  }
}
