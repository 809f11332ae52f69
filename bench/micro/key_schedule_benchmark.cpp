// SPDX-License-Identifier: Apache-2.0
// The key schedule of each program: what a run pays before any data moves.
#include <benchmark/benchmark.h>

#include "format/key_schedule.hpp"

namespace {

void derive_pass_keys(benchmark::State& state, cryptcore::KeySchedule schedule) {
  cryptcore::Provider provider;
  if (!provider.acquire()) {
    state.SkipWithError("OpenSSL provides no SHA-1 or AES-256-CBC");
    return;
  }
  for (auto _ : state) {
    cryptcore::PassKeys keys;
    if (!cryptcore::derive_pass_keys(provider, "benchmark passphrase", schedule, keys)) {
      state.SkipWithError("derive_pass_keys failed");
      return;
    }
    benchmark::DoNotOptimize(keys.count);
  }
}

BENCHMARK_CAPTURE(derive_pass_keys, single, cryptcore::KeySchedule::Single);
BENCHMARK_CAPTURE(derive_pass_keys, cascade, cryptcore::KeySchedule::Cascade);

}  // namespace
