// SPDX-License-Identifier: Apache-2.0
// One 65,536-byte chunk through the incremental cipher, transformed in its
// own buffer as the one-thread loop does (without I/O) and copied from an
// input to an output as update() does, beside the bare OpenSSL call on the
// same chunk: the difference is what the cipher adds per chunk.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>

#include "format/incremental_state.hpp"

namespace {

using cryptcore::Direction;
using cryptcore::kChunkSize;
using cryptcore::KeySchedule;
using cryptcore::Outcome;

alignas(64) std::array<std::uint8_t, kChunkSize> input_buffer;
alignas(64) std::array<std::uint8_t, kChunkSize> output_buffer;

// Whole chunks are never the final one, so any bytes decrypt.
void stream_chunk(benchmark::State& state, Direction direction, KeySchedule schedule,
                  bool in_place) {
  auto cipher = std::make_unique<cryptcore::IncrementalState>();
  if (cipher->init("benchmark passphrase", direction, schedule) != Outcome::Ok) {
    state.SkipWithError("the cipher could not set its keys");
    return;
  }
  input_buffer.fill(0x5A);
  std::fill(cipher->buffer().begin(), cipher->buffer().end(), 0x5A);
  for (auto _ : state) {
    std::size_t written = 0;
    const Outcome outcome =
        in_place ? cipher->update_in_place(cipher->buffer())
                 : cipher->update(input_buffer.data(), kChunkSize, output_buffer.data(),
                                  output_buffer.size(), written);
    if (outcome != Outcome::Ok) {
      state.SkipWithError("the cipher failed");
      return;
    }
    benchmark::DoNotOptimize(cipher->buffer().data());
    benchmark::DoNotOptimize(output_buffer.data());
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * kChunkSize * cryptcore::pass_count(schedule)));
}

BENCHMARK_CAPTURE(stream_chunk, single_encrypt, Direction::Encrypt, KeySchedule::Single, true);
BENCHMARK_CAPTURE(stream_chunk, single_decrypt, Direction::Decrypt, KeySchedule::Single, true);
BENCHMARK_CAPTURE(stream_chunk, cascade_encrypt, Direction::Encrypt, KeySchedule::Cascade, true);
BENCHMARK_CAPTURE(stream_chunk, cascade_decrypt, Direction::Decrypt, KeySchedule::Cascade, true);
BENCHMARK_CAPTURE(stream_chunk, single_encrypt_update, Direction::Encrypt, KeySchedule::Single,
                  false);
BENCHMARK_CAPTURE(stream_chunk, single_decrypt_update, Direction::Decrypt, KeySchedule::Single,
                  false);

// One AES-256-CBC pass of EVP_CipherUpdate over the chunk, in place: the
// cipher's own cost, which no change to the stream can go below.
void bare_cipher_chunk(benchmark::State& state, bool decrypt) {
  const std::array<std::uint8_t, 32> key{};
  const std::array<std::uint8_t, 16> iv{};
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                          EVP_CIPHER_CTX_free);
  if (!context || EVP_CipherInit_ex2(context.get(), EVP_aes_256_cbc(), key.data(), iv.data(),
                                     decrypt ? 0 : 1, nullptr) != 1) {
    state.SkipWithError("OpenSSL could not set up AES-256-CBC");
    return;
  }
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  input_buffer.fill(0x5A);
  for (auto _ : state) {
    int written = 0;
    if (EVP_CipherUpdate(context.get(), input_buffer.data(), &written, input_buffer.data(),
                         static_cast<int>(kChunkSize)) != 1) {
      state.SkipWithError("EVP_CipherUpdate failed");
      return;
    }
    benchmark::DoNotOptimize(input_buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunkSize));
}

BENCHMARK_CAPTURE(bare_cipher_chunk, encrypt, false);
BENCHMARK_CAPTURE(bare_cipher_chunk, decrypt, true);

}  // namespace
