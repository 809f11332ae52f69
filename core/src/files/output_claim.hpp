// SPDX-License-Identifier: Apache-2.0
// Taking a file run's output back when the run is stopped from outside, in
// one place: which output may be taken back, whether it is unfinished, being
// made complete or complete, the fence that keeps the run's second thread
// from writing after it, and the discard itself.
#pragma once

#include <atomic>

#include "cryptcore/file_cipher.hpp"
#include "files/files.hpp"
#include "io/write_fence.hpp"

namespace cryptcore {

// One per workspace, for one file run at a time.
class OutputClaim {
 public:
  OutputClaim() = default;
  OutputClaim(const OutputClaim&) = delete;
  OutputClaim& operator=(const OutputClaim&) = delete;

  // Makes a file run's output known to take_back() for as long as it lives;
  // it must end before the output is destroyed. The run stays registered
  // while it takes back a failed output itself, so that a signal that comes
  // meanwhile takes it back once more rather than not at all. A take_back()
  // from outside takes the output out of the claim for good: the run may not
  // touch it again, so it waits for the process to end, as the caller of
  // take_back() then makes it. Once the output is complete the claim says so
  // until the next run, so that a signal that comes after the success leaves
  // the output alone, and the program can end as after a success.
  class Registration {
   public:
    // Also lets the output's opening release the signals it held back,
    // now that a signal finds the output here.
    Registration(OutputClaim& claim, OutputFile& output);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    // Makes the output of a run that succeeded complete (committed), where
    // no take_back() can come between: one finds the output either
    // unfinished, and takes it back, or complete, and leaves it. On POSIX
    // the signals of this thread are held meanwhile (a signal handler runs
    // on it; one that comes is delivered as this returns); on Windows a
    // take_back() from another thread waits for the outcome. An outcome
    // other than Ok if the output could not be made complete; it is then
    // unfinished again, for the run to take back.
    Outcome complete();
    // Takes back the output of a run that failed.
    void discard() const { output_.discard(); }

   private:
    friend class OutputClaim;

    std::atomic<const void*>& slot_;
    OutputFile& output_;
  };

  // Between runs: the output of an earlier run is no longer the last one.
  void forget() noexcept { slot_.store(nullptr, std::memory_order_release); }
  // What discard_unfinished_output() does (file_cipher.hpp): on POSIX only
  // async-signal-safe calls.
  RunOutput take_back() noexcept;
  // The fence of the writes of the run's second thread, which take_back()
  // stops for good: no later step of the run allows them again.
  WriteFence& write_fence() { return write_fence_; }

 private:
  // The run in progress (its Registration), or one of the marks in
  // output_claim.cpp, or null when no file run has an output here.
  std::atomic<const void*> slot_{nullptr};
  static_assert(std::atomic<const void*>::is_always_lock_free,
                "a signal handler reads the claimed output");
  WriteFence write_fence_;
};

}  // namespace cryptcore
