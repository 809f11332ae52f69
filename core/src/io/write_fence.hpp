// SPDX-License-Identifier: Apache-2.0
// The fence between the helper thread's writes to a regular file and the
// taking back of that file, which may run in a signal handler on the other
// thread.
#pragma once

#include <atomic>

namespace cryptcore {

// Once stop() returns, no write made through write() is under way or begins
// after it: a write that has begun is waited for, up to two seconds (one that
// hangs longer may land after the output is taken back). stop() makes only
// async-signal-safe calls, so that a signal handler on the calling thread may
// take the output back knowing that no write from the other thread follows.
// It holds until allow(), which a new output calls before it can be taken
// back, so that no run undoes it.
class WriteFence {
 public:
  void stop() noexcept;
  void allow() noexcept;

  // Calls `write` (which returns whether it wrote) unless stop() came first;
  // false if it did or the write failed.
  template <typename Write>
  bool write(Write&& write) {
    // Each side raises its flag, then looks at the other's.
    writing_.store(true);
    const bool wrote = !stopped_.load() && write();
    writing_.store(false);
    return wrote;
  }

 private:
  std::atomic<bool> stopped_{false};
  std::atomic<bool> writing_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "used in a signal handler");
};

}  // namespace cryptcore
