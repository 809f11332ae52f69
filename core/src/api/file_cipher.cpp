// SPDX-License-Identifier: Apache-2.0
#include "cryptcore/file_cipher.hpp"

#include <atomic>
#include <chrono>
#include <ctime>
#include <new>
#include <thread>
#include <utility>

#include "files/files.hpp"
#include "format/incremental_state.hpp"
#include "io/progress_meter.hpp"
#include "io/service_loop.hpp"
#if !defined(_WIN32)
#include "io/signal_hold.hpp"
#endif

namespace cryptcore {

// What a CipherWorkspace holds: the cipher with its chunk buffer, the ring
// and the output of the file run in progress, built in the workspace's own
// storage so that it needs no allocation of its own.
class Workspace {
 public:
  IncrementalState cipher;
  ChunkRing ring;
  // For discard_unfinished_output(), which may run in a signal handler: the
  // run in progress (its UnfinishedOutput), or one of the marks below, or
  // null when no file run has an output here.
  std::atomic<const void*> unfinished_output{nullptr};

  static Workspace& in(CipherWorkspace& opaque) {
    return *std::launder(reinterpret_cast<Workspace*>(opaque.storage_));
  }
};

static_assert(sizeof(Workspace) <= kCipherWorkspaceSize, "raise kCipherWorkspaceSize");
static_assert(alignof(Workspace) <= kCipherWorkspaceAlignment, "raise kCipherWorkspaceAlignment");
static_assert(std::atomic<const void*>::is_always_lock_free,
              "a signal handler reads the unfinished output");

// Default-initialised: the buffers are written before they are read, so
// nothing is zeroed here.
CipherWorkspace::CipherWorkspace() noexcept {
  ::new (static_cast<void*>(storage_)) Workspace;
}

CipherWorkspace::~CipherWorkspace() {
  Workspace::in(*this).~Workspace();
}

namespace {

bool known(Direction direction) {
  return direction == Direction::Encrypt || direction == Direction::Decrypt;
}

bool known(KeySchedule schedule) {
  return schedule == KeySchedule::Single || schedule == KeySchedule::Cascade;
}

// Serves the cipher if setting its keys went well (`keys`), then destroys
// them whatever happened (after every thread of the run has ended).
Outcome serve_and_release(Workspace& workspace, Outcome keys, int input_fd, int output_fd,
                          ProgressMeter& progress) {
  const Outcome outcome =
      keys == Outcome::Ok ? serve(workspace.cipher, input_fd, output_fd, workspace.ring, progress)
                          : keys;
  workspace.cipher.wipe();
  return outcome;
}

// The marks the slot of a workspace holds between runs: the run's output is
// being made complete, which a discard waits for; the last run's output is
// complete, which a discard leaves alone.
constexpr char kCompleting = 'c';
constexpr char kComplete = 'C';

// Makes a file run's output known to discard_unfinished_output() for as long
// as it lives; it must end before the output is destroyed. The run stays
// registered while it takes back a failed output itself, so that a signal
// that comes meanwhile takes it back once more rather than not at all. A
// discard from outside takes the output out of the workspace for good: the
// run may not touch it again, so it waits for the process to end, as the
// discard's caller then makes it. Once the output is complete the slot says
// so until the next run, so that a signal that comes after the success
// leaves the output alone, and the program can end as after a success.
class UnfinishedOutput {
 public:
  UnfinishedOutput(Workspace& workspace, OutputFile& output)
      : slot_(workspace.unfinished_output), output_(output) {
    // A discard of this output stops the run's writes for good: no later
    // step of the run may allow them again.
    workspace.ring.write_fence().allow();
    slot_.store(this, std::memory_order_release);
  }
  ~UnfinishedOutput() {
    const void* expected = this;
    if (!slot_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel) &&
        expected != &kComplete) {
      wait_for_the_end();
    }
  }
  UnfinishedOutput(const UnfinishedOutput&) = delete;
  UnfinishedOutput& operator=(const UnfinishedOutput&) = delete;

  // Makes the output of a run that succeeded complete, where no discard can
  // come between: a discard finds the output either unfinished, and takes it
  // back, or complete, and leaves it. On POSIX the signals of this thread
  // are held meanwhile (a signal handler runs on it; one that comes is
  // delivered as this returns); on Windows a discard from another thread
  // waits for the outcome. An outcome other than Ok if the output could not
  // be made complete; it is then unfinished again, for the run to take back.
  Outcome complete() {
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

  static RunOutput take_back(std::atomic<const void*>& slot, ChunkRing& ring) noexcept {
    constexpr timespec kPause{0, 1'000'000};
    for (;;) {
      const void* held = slot.load(std::memory_order_acquire);
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
      if (slot.compare_exchange_strong(held, nullptr, std::memory_order_acq_rel)) {
        // The run's second thread, if any, must not write after the output
        // is taken back, or its bytes would survive the cut.
        ring.write_fence().stop();
        static_cast<const UnfinishedOutput*>(held)->output_.discard();
        return RunOutput::TakenBack;
      }
    }
  }

 private:
  // Where a run whose output a discard took stays until the process ends.
  [[noreturn]] static void wait_for_the_end() {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }

  std::atomic<const void*>& slot_;
  OutputFile& output_;
};

}  // namespace

Outcome crypt_stream(CipherWorkspace& workspace, std::string_view passphrase, Direction direction,
                     KeySchedule schedule, int input_fd, int output_fd) {
  if (!known(direction) || !known(schedule)) {
    return Outcome::InvalidArgument;
  }
  Workspace& inside = Workspace::in(workspace);
  const Outcome keys = inside.cipher.init(passphrase, direction, schedule);
  ProgressMeter silent;
  return serve_and_release(inside, keys, input_fd, output_fd, silent);
}

Outcome crypt_stream(std::string_view passphrase, Direction direction, KeySchedule schedule,
                     int input_fd, int output_fd) {
  const auto workspace = std::make_unique<CipherWorkspace>();
  return crypt_stream(*workspace, passphrase, direction, schedule, input_fd, output_fd);
}

Outcome crypt_file(CipherWorkspace& workspace, std::unique_ptr<SecretBytes> passphrase,
                   Direction direction, KeySchedule schedule, const char* input_path,
                   const char* output_path) {
  return crypt_file(workspace, std::move(passphrase), direction, schedule, input_path, output_path,
                    ProgressCallback());
}

Outcome crypt_file(CipherWorkspace& workspace, std::unique_ptr<SecretBytes> passphrase,
                   Direction direction, KeySchedule schedule, const char* input_path,
                   const char* output_path, const ProgressCallback& progress) {
  if (passphrase == nullptr || !known(direction) || !known(schedule) || input_path == nullptr ||
      output_path == nullptr) {
    return Outcome::InvalidArgument;
  }
  Workspace& inside = Workspace::in(workspace);
  // The output of an earlier run in the workspace is no longer the last one.
  inside.unfinished_output.store(nullptr, std::memory_order_release);
  InputFile input;
  if (!input.open(input_path)) {
    return Outcome::InputOpenFailed;
  }
  OutputFile output;
  if (!output.open(output_path, input)) {
    return Outcome::OutputOpenFailed;
  }
  UnfinishedOutput unfinished(inside, output);
  output.release_held_signals();

  const Outcome keys = inside.cipher.init(passphrase->view(), direction, schedule);
  // The keys are all the run needs: the passphrase is wiped before any data moves.
  passphrase.reset();
  ProgressMeter meter(progress);
  Outcome outcome = serve_and_release(inside, keys, input.fd(), output.fd(), meter);
  if (outcome == Outcome::Ok) {
    outcome = unfinished.complete();
  }
  // The last word is the caller's: a stop even now takes the output back.
  if (outcome == Outcome::Ok && !meter.finish()) {
    outcome = Outcome::Cancelled;
  }
  if (outcome != Outcome::Ok) {
    output.discard();
  }
  return outcome;
}

Outcome crypt_file(std::string_view passphrase, Direction direction, KeySchedule schedule,
                   const char* input_path, const char* output_path) {
  const auto workspace = std::make_unique<CipherWorkspace>();
  return crypt_file(*workspace, std::make_unique<SecretBytes>(passphrase), direction, schedule,
                    input_path, output_path);
}

Outcome crypt_file(std::string_view passphrase, Direction direction, KeySchedule schedule,
                   const char* input_path, const char* output_path,
                   const ProgressCallback& progress) {
  const auto workspace = std::make_unique<CipherWorkspace>();
  return crypt_file(*workspace, std::make_unique<SecretBytes>(passphrase), direction, schedule,
                    input_path, output_path, progress);
}

RunOutput discard_unfinished_output(CipherWorkspace& workspace) noexcept {
  Workspace& inside = Workspace::in(workspace);
  return UnfinishedOutput::take_back(inside.unfinished_output, inside.ring);
}

}  // namespace cryptcore
