// SPDX-License-Identifier: Apache-2.0
#include "io/write_fence.hpp"

#include <time.h>

namespace cryptcore {

void WriteFence::allow() noexcept {
  stopped_.store(false);
}

void WriteFence::stop() noexcept {
  stopped_.store(true);
  // A write to a regular file waits for no other process and ends soon,
  // unless its file system hangs (frozen, or a network one that is gone).
  // The write is waited for two seconds at most, so that the cleanup still
  // comes: should it end later, its chunk lands after the cleanup, where it
  // stays in an output that could only be emptied or cut back, or that has
  // another name (a hard link); a removed file takes it out of sight.
  constexpr timespec kPause{0, 100'000};
  constexpr time_t kLongestWait = 2;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const timespec give_up{now.tv_sec + kLongestWait, now.tv_nsec};
  while (writing_.load() && ::clock_gettime(CLOCK_MONOTONIC, &now) == 0 &&
         (now.tv_sec < give_up.tv_sec ||
          (now.tv_sec == give_up.tv_sec && now.tv_nsec < give_up.tv_nsec))) {
    ::nanosleep(&kPause, nullptr);
  }
}

}  // namespace cryptcore
