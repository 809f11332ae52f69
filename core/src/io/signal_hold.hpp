// SPDX-License-Identifier: Apache-2.0
// Holding back, on the calling thread, the signals that other processes send
// (POSIX only: Windows has no such signals, its console handlers run on a
// thread of their own).
#pragma once

#include <pthread.h>
#include <signal.h>

namespace cryptcore {

// Holds back every signal but those a thread raises by what it does itself (a
// fault, a write to a closed pipe or past the file-size limit), which must act
// at once on the thread that raised them; from hold() until release() or its
// end, when the signals held meanwhile are delivered. A thread started in
// between starts with them held.
class SignalHold {
 public:
  SignalHold() = default;
  ~SignalHold() { release(); }
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

  void hold() {
    if (!holding_) {
      sigset_t held;
      sigfillset(&held);
      for (const int signal :
           {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGPIPE, SIGXFSZ}) {
        sigdelset(&held, signal);
      }
      holding_ = pthread_sigmask(SIG_BLOCK, &held, &before_) == 0;
    }
  }
  void release() {
    if (holding_) {
      holding_ = false;
      pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
  }

 private:
  sigset_t before_{};
  bool holding_ = false;
};

}  // namespace cryptcore
