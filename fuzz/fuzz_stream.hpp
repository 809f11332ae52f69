// SPDX-License-Identifier: Apache-2.0
// Shared by the fuzz targets: how an input names its run, and a driver that
// feeds a cipher stream the way the programs' service loop does (whole chunks,
// then a short final one), checking the stream's side of the protocol.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "format/cipher_stream.hpp"

namespace fuzzsupport {

using Bytes = std::vector<std::uint8_t>;

// Stops the fuzzer with a message: libFuzzer saves the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void require(bool condition, const char* what) {
  if (!condition) {
    fail(what);
  }
}

// Takes bytes off the front of the fuzzer's input.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}
  std::uint8_t byte() {
    if (rest_.empty()) {
      return 0;
    }
    const std::uint8_t b = rest_[0];
    rest_ = rest_.subspan(1);
    return b;
  }
  std::span<const std::uint8_t> take(std::size_t n) {
    n = n < rest_.size() ? n : rest_.size();
    const auto head = rest_.first(n);
    rest_ = rest_.subspan(n);
    return head;
  }
  std::span<const std::uint8_t> rest() const { return rest_; }

 private:
  std::span<const std::uint8_t> rest_;
};

// At most this many bytes of passphrase come from an input.
inline constexpr std::size_t kMaxPassphrase = 40;

inline std::string_view passphrase_from(Reader& reader) {
  const std::size_t length = reader.byte() % (kMaxPassphrase + 1);
  const auto bytes = reader.take(length);
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// `length` bytes made by repeating `pattern` (zero bytes if it is empty).
inline Bytes repeat_to(std::span<const std::uint8_t> pattern, std::size_t length) {
  Bytes out(length, 0);
  if (!pattern.empty()) {
    for (std::size_t i = 0; i < length; ++i) {
      out[i] = pattern[i % pattern.size()];
    }
  }
  return out;
}

struct Run {
  Bytes output;
  cryptcore::StreamFailure failure = cryptcore::StreamFailure::None;
};

// One stream and its two buffers in static storage, as in the programs; every
// run sets new keys on it.
inline Run run_stream(std::string_view passphrase, bool decrypt, cryptcore::KeySchedule schedule,
                      std::span<const std::uint8_t> input) {
  using cryptcore::kChunkSize;
  using cryptcore::YieldCode;
  static cryptcore::CipherStream stream;
  static std::array<std::uint8_t, kChunkSize> input_buffer;
  static std::array<std::uint8_t, kChunkSize> output_buffer;

  Run run;
  require(stream.init(passphrase, decrypt, schedule), "the provider could not set keys");
  stream.attach(input_buffer, output_buffer);
  std::size_t consumed = 0;
  bool input_ended = false;
  // Each chunk costs at most one NeedInput and one OutputFull, and the end
  // of input one NeedInput more; anything beyond that is a loop.
  const std::size_t max_events = 2 * (input.size() / kChunkSize + 2) + 2;
  for (std::size_t events = 0;; ++events) {
    require(events <= max_events, "the stream does not finish");
    const YieldCode code = stream.resume();
    if (code == YieldCode::NeedInput) {
      std::size_t length = 0;
      if (!input_ended) {
        length = std::min(kChunkSize, input.size() - consumed);
        if (length > 0) {
          std::memcpy(input_buffer.data(), input.data() + consumed, length);
        }
        consumed += length;
        input_ended = length < kChunkSize;
      }
      stream.fill_input(length);
      continue;
    }
    const std::span<const std::uint8_t> produced = stream.take_output();
    require(produced.size() <= kChunkSize, "more output than the output buffer holds");
    if (code == YieldCode::OutputFull) {
      require(produced.size() == kChunkSize, "OutputFull before the output buffer is full");
      run.output.insert(run.output.end(), produced.begin(), produced.end());
      continue;
    }
    require(code == YieldCode::Finished, "an unknown yield code");
    run.failure = stream.failure();
    if (run.failure == cryptcore::StreamFailure::None) {
      require(consumed == input.size(), "finished before the end of input");
      run.output.insert(run.output.end(), produced.begin(), produced.end());
    }
    stream.release();
    return run;
  }
}

}  // namespace fuzzsupport
