// SPDX-License-Identifier: Apache-2.0
#include "cryptcore/file_cipher.hpp"

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <utility>

#include "files/files.hpp"
#include "format/incremental_state.hpp"
#include "io/progress_meter.hpp"
#include "io/service_loop.hpp"

namespace cryptcore {

// What a CipherWorkspace holds: the cipher with its chunk buffer, the ring
// and the output of the file run in progress, built in the workspace's own
// storage so that it needs no allocation of its own.
class Workspace {
 public:
  IncrementalState cipher;
  ChunkRing ring;
  // For discard_unfinished_output(), which may run in a signal handler.
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

// Makes a file run's output known to discard_unfinished_output() for as long
// as it lives; it must end before the output is destroyed. The run stays
// registered while it takes back a failed output itself, so that a signal
// that comes meanwhile takes it back once more rather than not at all. A
// discard from outside takes the output out of the workspace for good: the
// run may not touch it again, so when it ends it waits here for the process
// to end, as the discard's caller then makes it.
class UnfinishedOutput {
 public:
  UnfinishedOutput(Workspace& workspace, const OutputFile& output)
      : slot_(workspace.unfinished_output), output_(output) {
    // A discard of this output stops the run's writes for good: no later
    // step of the run may allow them again.
    workspace.ring.allow_writing();
    slot_.store(this, std::memory_order_release);
  }
  ~UnfinishedOutput() {
    if (slot_.exchange(nullptr, std::memory_order_acq_rel) != this) {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
      }
    }
  }
  UnfinishedOutput(const UnfinishedOutput&) = delete;
  UnfinishedOutput& operator=(const UnfinishedOutput&) = delete;

  static void take_back(std::atomic<const void*>& slot, ChunkRing& ring) noexcept {
    if (const auto* run = static_cast<const UnfinishedOutput*>(
            slot.exchange(nullptr, std::memory_order_acq_rel))) {
      // The run's second thread, if any, must not write after the output is
      // taken back, or its bytes would survive the cut.
      ring.stop_writing();
      run->output_.discard();
    }
  }

 private:
  std::atomic<const void*>& slot_;
  const OutputFile& output_;
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
  InputFile input;
  if (!input.open(input_path)) {
    return Outcome::InputOpenFailed;
  }
  OutputFile output;
  if (!output.open(output_path, input)) {
    return Outcome::OutputOpenFailed;
  }
  Workspace& inside = Workspace::in(workspace);
  const UnfinishedOutput unfinished(inside, output);
  output.release_held_signals();

  const Outcome keys = inside.cipher.init(passphrase->view(), direction, schedule);
  // The keys are all the run needs: the passphrase is wiped before any data moves.
  passphrase.reset();
  ProgressMeter meter(progress);
  Outcome outcome = serve_and_release(inside, keys, input.fd(), output.fd(), meter);
  if (outcome == Outcome::Ok && !output.close()) {
    outcome = Outcome::WriteFailed;
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

void discard_unfinished_output(CipherWorkspace& workspace) noexcept {
  Workspace& inside = Workspace::in(workspace);
  UnfinishedOutput::take_back(inside.unfinished_output, inside.ring);
}

}  // namespace cryptcore
