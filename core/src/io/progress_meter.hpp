// SPDX-License-Identifier: Apache-2.0
// What a file run tells its caller's progress callback, and when.
#pragma once

#include <chrono>
#include <cstdint>

#include "cryptcore/file_cipher.hpp"

namespace cryptcore {

// Counts the input bytes a run's loop takes and passes the count to the
// callback, if there is one: at the first chunk, then at most every
// kProgressInterval, so that a fast run does not spend its time there, and
// once more with the total at the end. Used on the calling thread only.
class ProgressMeter {
 public:
  static constexpr std::chrono::milliseconds kProgressInterval{250};

  // A meter that tells nobody.
  ProgressMeter() = default;
  explicit ProgressMeter(const ProgressCallback& callback)
      : callback_(callback ? &callback : nullptr) {}

  // Counts `bytes` more taken; false if the callback says stop.
  bool advance(std::uint64_t bytes) {
    done_ += bytes;
    if (callback_ == nullptr) {
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (told_ && now - last_told_ < kProgressInterval) {
      return true;
    }
    told_ = true;
    last_told_ = now;
    return tell();
  }
  // Tells the total; false if the callback says stop.
  bool finish() { return callback_ == nullptr || tell(); }

 private:
  // A callback that throws stops the run, as one that returns false does:
  // no exception may leave a loop that another thread waits on.
  bool tell() noexcept {
    try {
      return (*callback_)(done_);
    } catch (...) {
      return false;
    }
  }

  const ProgressCallback* callback_ = nullptr;
  std::uint64_t done_ = 0;
  bool told_ = false;
  std::chrono::steady_clock::time_point last_told_{};
};

}  // namespace cryptcore
