// SPDX-License-Identifier: Apache-2.0
#include "cryptcore/file_cipher.hpp"

#include <new>
#include <utility>

#include "files/files.hpp"
#include "files/output_claim.hpp"
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
  // The output of the file run in progress, for discard_unfinished_output().
  OutputClaim output_claim;

  static Workspace& in(CipherWorkspace& opaque) {
    return *std::launder(reinterpret_cast<Workspace*>(opaque.storage_));
  }
};

static_assert(sizeof(Workspace) <= kCipherWorkspaceSize, "raise kCipherWorkspaceSize");
static_assert(alignof(Workspace) <= kCipherWorkspaceAlignment, "raise kCipherWorkspaceAlignment");

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
  const Outcome outcome = keys == Outcome::Ok
                              ? serve(workspace.cipher, input_fd, output_fd, workspace.ring,
                                      workspace.output_claim.write_fence(), progress)
                              : keys;
  workspace.cipher.wipe();
  return outcome;
}

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
  inside.output_claim.forget();
  InputFile input;
  if (!input.open(input_path)) {
    return Outcome::InputOpenFailed;
  }
  OutputFile output;
  if (!output.open(output_path, input)) {
    return Outcome::OutputOpenFailed;
  }
  OutputClaim::Registration claimed(inside.output_claim, output);

  const Outcome keys = inside.cipher.init(passphrase->view(), direction, schedule);
  // The keys are all the run needs: the passphrase is wiped before any data moves.
  passphrase.reset();
  ProgressMeter meter(progress);
  Outcome outcome = serve_and_release(inside, keys, input.fd(), output.fd(), meter);
  // The caller hears the total while the output can still be taken back, so
  // that a stop now leaves nothing and a complete output is never removed.
  if (outcome == Outcome::Ok && !meter.finish()) {
    outcome = Outcome::Cancelled;
  }
  if (outcome == Outcome::Ok) {
    outcome = claimed.complete();
  }
  if (outcome != Outcome::Ok) {
    claimed.discard();
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
  return Workspace::in(workspace).output_claim.take_back();
}

}  // namespace cryptcore
