// SPDX-License-Identifier: Apache-2.0
// One 65,536-byte chunk through the cipher stream, driven as serve() drives
// it but without I/O, beside the bare OpenSSL call on the same chunk: the
// difference is what the stream adds per chunk.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <memory>

#include "format/cipher_stream.hpp"

namespace {

using cryptcore::kChunkSize;
using cryptcore::KeySchedule;
using cryptcore::YieldCode;

alignas(64) std::array<std::uint8_t, kChunkSize> input_buffer;
alignas(64) std::array<std::uint8_t, kChunkSize> output_buffer;

void stream_chunk(benchmark::State& state, bool decrypt, KeySchedule schedule) {
  auto stream = std::make_unique<cryptcore::CipherStream>();
  if (!stream->init("benchmark passphrase", decrypt, schedule)) {
    state.SkipWithError("the stream could not set its keys");
    return;
  }
  input_buffer.fill(0x5A);
  stream->attach(input_buffer, output_buffer);
  // Whole chunks are never the final one, so any bytes decrypt.
  for (auto _ : state) {
    if (stream->resume() != YieldCode::NeedInput) {
      state.SkipWithError("the stream did not ask for input");
      return;
    }
    stream->fill_input(kChunkSize);
    if (stream->resume() != YieldCode::OutputFull) {
      state.SkipWithError("the stream did not fill its output");
      return;
    }
    benchmark::DoNotOptimize(stream->take_output().data());
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * kChunkSize * cryptcore::pass_count(schedule)));
}

BENCHMARK_CAPTURE(stream_chunk, single_encrypt, false, KeySchedule::Single);
BENCHMARK_CAPTURE(stream_chunk, single_decrypt, true, KeySchedule::Single);
BENCHMARK_CAPTURE(stream_chunk, cascade_encrypt, false, KeySchedule::Cascade);
BENCHMARK_CAPTURE(stream_chunk, cascade_decrypt, true, KeySchedule::Cascade);

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
