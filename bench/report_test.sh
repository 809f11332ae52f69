#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the medians, ratios and verdicts of bench/report.awk on recorded
# results whose figures are worked out by hand. Usage: report_test.sh
set -u
report=$(dirname "$0")/report.awk
failed=0

# A run over a file of 10^8 bytes. Medians: limit_enc 900 MB/s; limit_dec
# 7500 MB/s (an even count: the mean of the middle two); single_enc 0.15 s;
# copy_cipher 0.047 s; small_single 5.5 ms (even count); peaks are the
# largest of each name.
mixed_run() {
  cat <<'END'
file 100000000 3 4 /dev/shm/some dir
linking static
load_before 0.10 0.20 0.30
sample limit_enc 1000000000
sample limit_enc 800000000
sample limit_enc 900000000
sample limit_dec 8000000000
sample limit_dec 7000000000
sample copy 30000
sample single_enc 150000
sample single_enc 125000
sample single_enc 200000
sample openssl_enc 300000
sample copy_cipher 52000
sample copy_cipher 40000
sample copy_cipher 47000
sample single_dec 50000
sample openssl_dec 90000
sample cascade_enc 250000
sample openssl_cascade_enc 300000
sample cascade_dec 40000
sample openssl_cascade_dec 100000
sample small_single 4000
sample small_single 9000
sample small_single 6000
sample small_single 5000
sample small_cascade 4900
sample small_openssl 7000
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
sample single_enc 100000
peak single_enc 6144
peak medium_single 4096
peak small_single 4096
END
}

# One pass at 0.8999 of the limit: 0.90 in the table, but the target is
# missed; the cascade at exactly 1.45 meets its own.
just_under() {
  cat <<'END'
file 100000000 1 1 /tmp
sample limit_enc 1000000000
sample single_enc 111125
sample cascade_enc 137931
END
}

# With the shared libcrypto, and no line saying so (the default), start-up is
# held against the shared one's: 0.957 meets it.
shared_start() {
  cat <<'END'
file 100000000 1 3 /tmp
sample small_single 3061
sample small_openssl 3200
END
}

# case | expected line (a fixed string)
cases=$(cat <<'END'
mixed_run|file of 95 MiB and 1,000 bytes in /dev/shm/some dir, median of 3 rounds
mixed_run|Load average (1, 5, 15 min): 0.10 0.20 0.30 before, 1.00 2.00 3.00 after
mixed_run|cipher limit, encrypt                     900 MB/s
mixed_run|cipher limit, decrypt                    7500 MB/s
mixed_run|                                 time   throughput vs openssl pass/limit   vs copy
mixed_run|singlecrypt encrypt           0.150 s     667 MB/s      2.00x       0.74
mixed_run|openssl enc, 2 runs           0.300 s     333 MB/s                  0.74
mixed_run|ciphertext copy, dd bs=64k    0.047 s    2128 MB/s
mixed_run|singlecrypt decrypt           0.050 s    2000 MB/s      1.80x       0.27      0.94x
mixed_run|openssl enc -d                0.090 s    1111 MB/s                  0.15      0.52x
mixed_run|cascadecrypt decrypt          0.040 s    2500 MB/s      2.50x       0.67      1.18x
mixed_run|  singlecrypt                  5.50 ms    0.79x openssl enc
mixed_run|  singlecrypt                 4.2 MiB on the large file,  4.0 MiB on 8 MiB,  3.5 MiB on 1 KiB
mixed_run|singlecrypt  encrypt: 0.741 of the limit per pass (>= 0.90) MISSED; 2.000x openssl enc (>= 1.35) met
mixed_run|singlecrypt  decrypt: 0.940x a dd bs=64k copy (>= 0.95) MISSED; 1.800x openssl enc -d
mixed_run|singlecrypt  1 KiB:   0.786x openssl enc's wall time (<= 0.72 as before, static) MISSED
mixed_run|singlecrypt  memory:  4.2 MiB, 4.0 MiB on 8 MiB (< 8 MiB, not growing) met
mixed_run|cascadecrypt encrypt: 0.889 of the limit per pass (>= 1.45) MISSED; 1.200x openssl enc (>= 1.35) MISSED
mixed_run|cascadecrypt decrypt: 1.175x a dd bs=64k copy (>= 0.95) met; 2.500x openssl enc -d
mixed_run|cascadecrypt 1 KiB:   0.700x openssl enc's wall time (<= 0.72 as before, static) met
mixed_run|cascadecrypt memory:  8.8 MiB, 8.7 MiB on 8 MiB (< 8 MiB, not growing) MISSED
just_under|singlecrypt  encrypt: 0.900 of the limit per pass (>= 0.90) MISSED
just_under|cascadecrypt encrypt: 1.450 of the limit per pass (>= 1.45) met
shared_start|singlecrypt  1 KiB:   0.957x openssl enc's wall time (<= 0.96 as before, shared) met
growing_memory|singlecrypt  memory:  6.0 MiB, 4.0 MiB on 8 MiB (< 8 MiB, not growing) MISSED
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
