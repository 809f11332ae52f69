#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the medians, ratios and verdicts of bench/report.awk on recorded
# results whose figures are worked out by hand. Usage: report_test.sh
set -u
report=$(dirname "$0")/report.awk
failed=0

# A run over a file of 10^8 bytes, 3 rounds. Ratios are the median of the
# rounds' own: singlecrypt at 800, 667, 1000 MB/s against limits of 1000, 800,
# 900 gives 0.800, 0.833, 1.111 (quartiles halfway between neighbours), where
# the medians' ratio is 0.889; openssl_enc's rounds, listed out of order, pair
# by round. Decrypting, 0.94, 1.04, 1.0 of a copy meets 0.95 (the medians'
# 47/50 would not); the cascade's 1.810, 1.455, 1.316 a pass misses 1.5 (the
# medians' 1.619 would meet it). The table's limits pool both programs' runs.
# A round without its reference is left out (the decrypt limits).
mixed_run() {
  cat <<'END'
file 100000000 3 4 /dev/shm/some dir
linking static
load_before 0.10 0.20 0.30
sample limit_single_enc 1 1000000000
sample limit_single_enc 2 800000000
sample limit_single_enc 3 900000000
sample limit_cascade_enc 1 850000000
sample limit_cascade_enc 2 1100000000
sample limit_cascade_enc 3 950000000
sample limit_single_dec 1 8000000000
sample limit_single_dec 2 7000000000
sample limit_cascade_dec 1 9000000000
sample copy 1 30000
sample single_enc 1 125000
sample single_enc 2 150000
sample single_enc 3 100000
sample openssl_enc 3 150000
sample openssl_enc 1 300000
sample openssl_enc 2 250000
sample copy_single 1 47000
sample copy_single 2 52000
sample copy_single 3 40000
sample single_dec 1 50000
sample single_dec 2 50000
sample single_dec 3 40000
sample openssl_dec 1 90000
sample openssl_dec 2 100000
sample openssl_dec 3 80000
sample cascade_enc 1 130000
sample cascade_enc 2 125000
sample cascade_enc 3 160000
sample openssl_cascade_enc 1 300000
sample openssl_cascade_enc 2 250000
sample openssl_cascade_enc 3 200000
sample copy_cascade 1 38000
sample copy_cascade 2 56800
sample copy_cascade 3 41200
sample cascade_dec 1 40000
sample cascade_dec 2 50000
sample cascade_dec 3 40000
sample openssl_cascade_dec 1 100000
sample openssl_cascade_dec 2 120000
sample openssl_cascade_dec 3 90000
sample small_single 1 4000
sample small_single 2 9000
sample small_single 3 6000
sample small_single 4 5000
sample small_openssl 1 7000
sample small_openssl 2 6000
sample small_openssl 3 8000
sample small_openssl 4 5200
sample small_cascade 1 4900
sample small_cascade 2 4000
sample small_cascade 3 5000
sample small_cascade 4 3000
peak single_enc 4096
peak single_dec 4300
peak single_dec 4200
peak medium_single 4096
peak small_single 3584
peak cascade_enc 9000
peak cascade_dec 4000
peak medium_cascade 8900
peak small_cascade 3584
load_after 1.00 2.00 3.00
END
}

# Memory that grows with the file fails the target even below 8 MiB.
growing_memory() {
  cat <<'END'
file 100000000 1 1 /tmp
sample single_enc 1 100000
peak single_enc 6144
peak medium_single 4096
peak small_single 4096
END
}

# One pass at 0.8999 of the limit: 0.900 as printed, but the target is
# missed; the cascade at exactly 1.5 (3000 MB/s a pass against 2000) meets its own.
just_under() {
  cat <<'END'
file 150000000 1 1 /tmp
sample limit_single_enc 1 1000000000
sample single_enc 1 166686
sample limit_cascade_enc 1 2000000000
sample cascade_enc 1 100000
END
}

# With the shared libcrypto, and no line saying so (the default), start-up is
# held against the shared one's: 0.957 meets it.
shared_start() {
  cat <<'END'
file 100000000 1 3 /tmp
sample small_single 1 3061
sample small_openssl 1 3200
END
}

# case | expected line (a fixed string)
cases=$(cat <<'END'
mixed_run|file of 95 MiB and 1,000 bytes in /dev/shm/some dir, median of 3 rounds
mixed_run|Load average (1, 5, 15 min): 0.10 0.20 0.30 before, 1.00 2.00 3.00 after
mixed_run|cipher limit, encrypt                                    925 MB/s
mixed_run|cipher limit, decrypt                                   8000 MB/s
mixed_run|                                   time      min-max   throughput vs openssl pass/limit   vs copy
mixed_run|singlecrypt encrypt             0.125 s  0.100-0.150     800 MB/s      1.67x       0.83
mixed_run|openssl enc                     0.250 s  0.150-0.300     400 MB/s                  0.50
mixed_run|copy, singlecrypt's output      0.047 s  0.040-0.052    2128 MB/s
mixed_run|singlecrypt decrypt             0.050 s  0.040-0.050    2000 MB/s      2.00x       0.27      1.00x
mixed_run|openssl enc -d                  0.090 s  0.080-0.100    1111 MB/s                  0.14      0.52x
mixed_run|cascadecrypt encrypt            0.130 s  0.125-0.160     769 MB/s      2.00x       1.45
mixed_run|cascadecrypt decrypt            0.040 s  0.040-0.050    2500 MB/s      2.40x       0.56      1.03x
mixed_run|openssl enc -d, 2 runs          0.100 s  0.090-0.120    1000 MB/s                  0.22      0.46x
mixed_run|  singlecrypt                  5.50 ms    0.86x openssl enc
mixed_run|  cascadecrypt                 4.45 ms    0.65x openssl enc
mixed_run|  singlecrypt                 4.2 MiB on the large file,  4.0 MiB on 8 MiB,  3.5 MiB on 1 KiB
mixed_run|  singlecrypt  encrypt, pass / limit    0.833   0.800-1.111   0.817-0.972    >= 0.90  MISSED
mixed_run|  singlecrypt  encrypt vs openssl enc   1.667x  1.500-2.400   1.583-2.033    >= 1.35  met
mixed_run|  singlecrypt  decrypt vs dd copy       1.000x  0.940-1.040   0.970-1.020    >= 0.95  met
mixed_run|  singlecrypt  1 KiB, time / openssl's  0.856x  0.571-1.500   0.705-1.096    <= 0.72  MISSED (as before, static)
mixed_run|  singlecrypt  memory:  4.2 MiB, 4.0 MiB on 8 MiB (< 8 MiB, not growing) met
mixed_run|  cascadecrypt encrypt, pass / limit    1.455   1.316-1.810   1.385-1.632    >= 1.50  MISSED
mixed_run|  cascadecrypt encrypt vs openssl enc   2.000x  1.250-2.308   1.625-2.154    >= 1.35  met
mixed_run|  cascadecrypt decrypt vs dd copy       1.030x  0.950-1.136   0.990-1.083    >= 0.95  met
mixed_run|  cascadecrypt 1 KiB, time / openssl's  0.646x  0.577-0.700   0.613-0.675    <= 0.72  met (as before, static)
mixed_run|  cascadecrypt memory:  8.8 MiB, 8.7 MiB on 8 MiB (< 8 MiB, not growing) MISSED
just_under|  singlecrypt  encrypt, pass / limit    0.900   0.900-0.900   0.900-0.900    >= 0.90  MISSED
just_under|  cascadecrypt encrypt, pass / limit    1.500   1.500-1.500   1.500-1.500    >= 1.50  met
shared_start|  singlecrypt  1 KiB, time / openssl's  0.957x  0.957-0.957   0.957-0.957    <= 0.96  met (as before, shared)
growing_memory|  singlecrypt  memory:  6.0 MiB, 4.0 MiB on 8 MiB (< 8 MiB, not growing) MISSED
growing_memory|  singlecrypt  encrypt, pass / limit         -                               >= 0.90  no data
growing_memory|openssl enc                           -
END
)

while IFS='|' read -r input expected; do
  output=$("$input" | awk -f "$report")
  if ! grep -qF -- "$expected" <<<"$output"; then
    echo "FAIL ($input): no line with: $expected"
    failed=$((failed + 1))
  fi
done <<<"$cases"
if [ "$failed" -ne 0 ]; then
  echo "$failed report checks failed"
  exit 1
fi
echo "all report checks passed"
