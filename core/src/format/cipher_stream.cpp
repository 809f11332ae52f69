// SPDX-License-Identifier: Apache-2.0
#include "format/cipher_stream.hpp"

#include <cstring>
#include <exception>

namespace cryptcore {

// The coroutine type of the worker. Its frame is placed in the stream's own
// storage; if it ever outgrew that storage, the worker would not start and
// the stream would finish with a failure instead of allocating.
class CipherStream::Worker {
 public:
  struct promise_type {
    static void* operator new(std::size_t size, CipherStream& stream) noexcept {
      return size <= sizeof(stream.worker_frame_) ? stream.worker_frame_ : nullptr;
    }
    static void operator delete(void*, std::size_t) noexcept {}
    static Worker get_return_object_on_allocation_failure() noexcept { return Worker({}); }

    Worker get_return_object() noexcept {
      return Worker(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };

  explicit Worker(std::coroutine_handle<> handle) : handle_(handle) {}
  std::coroutine_handle<> handle() const { return handle_; }

 private:
  std::coroutine_handle<> handle_;
};

CipherStream::~CipherStream() {
  finish_worker();
  release();
}

bool CipherStream::init(std::string_view passphrase, bool decrypt_mode, KeySchedule schedule) {
  release();
  decrypt = decrypt_mode;
  failure_ = StreamFailure::None;
  return provider.acquire() && derive_pass_keys(provider, passphrase, schedule, pass_keys) &&
         prepare_keys();
}

bool CipherStream::init_with_keys_of(const CipherStream& keyed, bool decrypt_mode) {
  release();
  decrypt = decrypt_mode;
  failure_ = StreamFailure::None;
  return provider.acquire() && pass_keys.copy_from(provider, keyed.pass_keys) && prepare_keys();
}

bool CipherStream::prepare_keys() {
  for (AesCbcKey& key : pass_keys.in_pass_order()) {
    if (!key.prepare(!decrypt)) {
      release();
      return false;
    }
  }
  return true;
}

void CipherStream::attach(ChunkBuffer input_buffer, ChunkBuffer output_buffer) {
  finish_worker();
  failure_ = StreamFailure::None;
  handed_off_ = 0;
  input_start_ = input_buffer.data();
  output_start_ = output_buffer.data();
  in_cur = in_end = input_start_;
  out_cur = output_start_;
  out_end = output_start_ + kChunkSize;
}

YieldCode CipherStream::resume() {
  if (!worker_) {
    // Without buffers there is nowhere to work; without room for the frame,
    // no worker.
    worker_ = input_start_ != nullptr ? run().handle() : nullptr;
    if (!worker_) {
      failure_ = StreamFailure::CipherFailed;
      return YieldCode::Finished;
    }
  }
  if (!worker_.done()) {
    worker_.resume();
  }
  return worker_.done() ? YieldCode::Finished : static_cast<YieldCode>(state);
}

void CipherStream::fill_input(std::size_t length) {
  in_cur = input_start_;
  in_end = input_start_ + (length < kChunkSize ? length : kChunkSize);
}

void CipherStream::fill_input_in_place(ChunkBuffer chunk, std::size_t length) {
  input_start_ = output_start_ = chunk.data();
  fill_input(length);
  out_cur = output_start_;
  out_end = output_start_ + kChunkSize;
}

std::span<const std::uint8_t> CipherStream::take_output() {
  const std::span<const std::uint8_t> filled(output_start_, out_cur);
  out_cur = output_start_;
  out_end = output_start_ + kChunkSize;
  return filled;
}

void CipherStream::release() {
  pass_keys.destroy();
  provider.release();
}

void CipherStream::finish_worker() {
  if (worker_) {
    worker_.destroy();
    worker_ = nullptr;
  }
  state = static_cast<std::int32_t>(YieldCode::Finished);
}

CipherStream::Worker CipherStream::run() {
  // Hands `code` to the driver and suspends until the next resume().
  const auto yield = [this](YieldCode code) {
    state = static_cast<std::int32_t>(code);
    return std::suspend_always{};
  };
  for (;;) {
    if (in_cur >= in_end) {
      co_await yield(YieldCode::NeedInput);
    }
    const std::size_t n = static_cast<std::size_t>(in_end - in_cur);
    if (n == 0) {
      break;
    }
    // Only a short chunk is final: a whole chunk is never padded, even at the
    // end of input.
    std::size_t length = n;
    if (!transform_chunk(length, n < kChunkSize)) {
      break;
    }
    // In place, the chunk already lies where its output goes.
    if (out_cur != in_cur) {
      std::memcpy(out_cur, in_cur, length);
    }
    in_cur += n;
    out_cur += length;
    if (out_cur >= out_end) {
      co_await yield(YieldCode::OutputFull);
    }
  }
  state = static_cast<std::int32_t>(YieldCode::Finished);
}

bool CipherStream::transform_chunk(std::size_t& length, bool final) {
  const std::size_t passes = pass_keys.in_pass_order().size();
  const auto fail = [this](StreamFailure why) {
    failure_ = why;
    return false;
  };
  if (passes == 0) {
    return fail(StreamFailure::CipherFailed);
  }
  // Every pass pads a final chunk; refuse before the padded result would
  // fill a whole chunk, which decryption would take for an unpadded one.
  const std::size_t padded = length - length % kAesBlockSize + kAesBlockSize * passes;
  if (!decrypt && final && padded >= kChunkSize) {
    return fail(StreamFailure::LengthUnsupported);
  }
  const std::size_t capacity = static_cast<std::size_t>(input_start_ + kChunkSize - in_cur);
  const std::size_t own_passes = handed_off_ < passes ? passes - handed_off_ : 0;
  if (!run_passes(0, own_passes, in_cur, length, capacity, final)) {
    return fail(StreamFailure::CipherFailed);
  }
  // The output window never holds more than what is left of it.
  if (length > static_cast<std::size_t>(out_end - out_cur)) {
    return fail(StreamFailure::CipherFailed);
  }
  return true;
}

bool CipherStream::run_handed_off_passes(ChunkBuffer chunk, std::size_t& length, bool final) {
  const std::size_t passes = pass_keys.in_pass_order().size();
  const std::size_t first = handed_off_ < passes ? passes - handed_off_ : 0;
  return length <= kChunkSize && run_passes(first, passes, chunk.data(), length, kChunkSize, final);
}

bool CipherStream::run_passes(std::size_t first, std::size_t last, std::uint8_t* data,
                              std::size_t& length, std::size_t capacity, bool final) {
  // Decryption takes the keys in reverse: the last pass to encrypt is the
  // first to decrypt.
  const std::span<AesCbcKey> keys = pass_keys.in_pass_order();
  for (std::size_t pass = first; pass < last; ++pass) {
    AesCbcKey& key = decrypt ? keys[keys.size() - 1 - pass] : keys[pass];
    if (!(decrypt ? key.decrypt(data, length, final)
                  : key.encrypt(data, length, capacity, final))) {
      return false;
    }
  }
  return true;
}

}  // namespace cryptcore
