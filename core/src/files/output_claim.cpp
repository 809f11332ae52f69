// SPDX-License-Identifier: Apache-2.0
#include "files/output_claim.hpp"

#include <chrono>
#include <ctime>
#include <thread>

#if !defined(_WIN32)
#include "io/signal_hold.hpp"
#endif

namespace cryptcore {

namespace {

// The marks the slot holds between runs: the run's output is being made
// complete, which a take_back() waits for; the last run's output is
// complete, which a take_back() leaves alone.
constexpr char kCompleting = 'c';
constexpr char kComplete = 'C';

// Where a run whose output a take_back() took stays until the process ends.
[[noreturn]] void wait_for_the_end() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

}  // namespace

OutputClaim::Registration::Registration(OutputClaim& claim, OutputFile& output)
    : slot_(claim.slot_), output_(output) {
  // A take_back() of this output stops the run's writes for good: no later
  // step of the run may allow them again.
  claim.write_fence_.allow();
  slot_.store(this, std::memory_order_release);
  output_.release_held_signals();
}

OutputClaim::Registration::~Registration() {
  const void* expected = this;
  if (!slot_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel) &&
      expected != &kComplete) {
    wait_for_the_end();
  }
}

Outcome OutputClaim::Registration::complete() {
#if !defined(_WIN32)
  SignalHold held;
  held.hold();
#endif
  const void* expected = this;
  if (!slot_.compare_exchange_strong(expected, &kCompleting, std::memory_order_acq_rel)) {
    wait_for_the_end();
  }
  // Committing the output (its data on disk, its name given, closed) is
  // what makes it complete.
  const Outcome committed = output_.commit();
  slot_.store(committed == Outcome::Ok ? static_cast<const void*>(&kComplete) : this,
              std::memory_order_release);
  return committed;
}

RunOutput OutputClaim::take_back() noexcept {
  constexpr timespec kPause{0, 1'000'000};
  for (;;) {
    const void* held = slot_.load(std::memory_order_acquire);
    if (held == nullptr) {
      return RunOutput::None;
    }
    if (held == &kComplete) {
      return RunOutput::Complete;
    }
    if (held == &kCompleting) {
      ::nanosleep(&kPause, nullptr);
      continue;
    }
    if (slot_.compare_exchange_strong(held, nullptr, std::memory_order_acq_rel)) {
      // The run's second thread, if any, must not write after the output
      // is taken back, or its bytes would survive the cut.
      write_fence_.stop();
      static_cast<const Registration*>(held)->output_.discard();
      return RunOutput::TakenBack;
    }
  }
}

}  // namespace cryptcore
