// SPDX-License-Identifier: Apache-2.0
// The second thread of a pipelined run.
#pragma once

#include <pthread.h>

#if !defined(_WIN32)
#include "io/signal_hold.hpp"
#endif

namespace cryptcore {

// A thread started with the signals from outside held, joined before it goes.
class HelperThread {
 public:
  HelperThread() = default;
  ~HelperThread() { join(); }
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  bool start(void* (*body)(void*), void* argument) {
#if !defined(_WIN32)
    // Every signal from outside is left to the calling thread, where the
    // program's handlers expect to run; the caller gets its own mask back.
    SignalHold held;
    held.hold();
#endif
    started_ = pthread_create(&thread_, nullptr, body, argument) == 0;
    return started_;
  }

  void join() {
    if (started_) {
      pthread_join(thread_, nullptr);
      started_ = false;
    }
  }

 private:
  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace cryptcore
