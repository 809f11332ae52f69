// SPDX-License-Identifier: Apache-2.0
#include "format/incremental_state.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "crypto/secure_wipe.hpp"

namespace cryptcore {

static_assert(sizeof(IncrementalState) <= kIncrementalCipherSize, "raise kIncrementalCipherSize");
static_assert(alignof(IncrementalState) <= kIncrementalCipherAlignment,
              "raise kIncrementalCipherAlignment");
static_assert(kFinishCapacity == kChunkSize, "a finished tail is shorter than a chunk");

IncrementalState& IncrementalState::in(IncrementalCipher& opaque) {
  return *std::launder(reinterpret_cast<IncrementalState*>(opaque.storage_));
}

namespace {

bool known(Direction direction) {
  return direction == Direction::Encrypt || direction == Direction::Decrypt;
}

bool known(KeySchedule schedule) {
  return schedule == KeySchedule::Single || schedule == KeySchedule::Cascade;
}

}  // namespace

Outcome IncrementalState::init(std::string_view passphrase, Direction direction,
                               KeySchedule schedule) {
  if (!known(direction) || !known(schedule)) {
    return Outcome::InvalidArgument;
  }
  wipe();
  return start_run(stream_.init(passphrase, direction == Direction::Decrypt, schedule));
}

Outcome IncrementalState::init_with_keys_of(const IncrementalState& keyed, Direction direction) {
  if (!known(direction) || keyed.phase_ != Phase::Running) {
    return Outcome::InvalidArgument;
  }
  wipe();
  return start_run(stream_.init_with_keys_of(keyed.stream_, direction == Direction::Decrypt));
}

Outcome IncrementalState::start_run(bool keys_set) {
  phase_ = Phase::Running;
  failure_ = Outcome::Ok;
  worker_ready_ = false;
  handed_off_ = 0;
  keys_shared_ = false;
  held_ = 0;
  return keys_set ? Outcome::Ok : fail(Outcome::CipherFailed);
}

Outcome IncrementalState::update(const std::uint8_t* input, std::size_t length,
                                 std::uint8_t* output, std::size_t capacity, std::size_t& written) {
  written = 0;
  if (phase_ == Phase::Failed) {
    return failure_;
  }
  if (phase_ != Phase::Running || (input == nullptr && length != 0) ||
      (output == nullptr && capacity != 0)) {
    return Outcome::InvalidArgument;
  }
  if (capacity < IncrementalCipher::update_capacity(length)) {
    return Outcome::OutputTooSmall;
  }
  if (length == 0) {
    return Outcome::Ok;
  }
  std::size_t made = 0;
  // First complete the chunk held back, in the state's own buffer.
  if (held_ != 0) {
    const std::size_t taken = std::min(length, kChunkSize - held_);
    std::memcpy(chunk_.data() + held_, input, taken);
    held_ += taken;
    input += taken;
    length -= taken;
    if (held_ < kChunkSize) {
      return Outcome::Ok;
    }
    held_ = 0;
    if (const Outcome outcome = run_chunk(chunk_.data(), kChunkSize, made);
        outcome != Outcome::Ok) {
      return outcome;
    }
    std::memcpy(output, chunk_.data(), made);
  }
  // Whole chunks go where their output goes and are transformed there.
  for (; length >= kChunkSize; input += kChunkSize, length -= kChunkSize) {
    std::size_t chunk_made = 0;
    std::memcpy(output + made, input, kChunkSize);
    if (const Outcome outcome = run_chunk(output + made, kChunkSize, chunk_made);
        outcome != Outcome::Ok) {
      return outcome;
    }
    made += chunk_made;
  }
  if (length != 0) {
    std::memcpy(chunk_.data(), input, length);
    held_ = length;
  }
  written = made;
  return Outcome::Ok;
}

Outcome IncrementalState::finish(std::uint8_t* output, std::size_t capacity, std::size_t& written) {
  written = 0;
  if (phase_ == Phase::Failed) {
    return failure_;
  }
  if (phase_ != Phase::Running || (output == nullptr && capacity != 0)) {
    return Outcome::InvalidArgument;
  }
  // What the tail becomes: checked before anything changes, so that a call
  // with too little room can be made again. A tail too long to pad is
  // refused whatever the room.
  std::size_t needed = held_;
  if (!stream_.decrypting() && held_ != 0) {
    const std::optional<std::uint64_t> size = IncrementalCipher::encrypted_size(
        held_, stream_.passes() == 1 ? KeySchedule::Single : KeySchedule::Cascade);
    if (!size) {
      return fail(Outcome::LengthUnsupported);
    }
    needed = static_cast<std::size_t>(*size);
  }
  if (capacity < needed) {
    return Outcome::OutputTooSmall;
  }
  const std::size_t tail = held_;
  held_ = 0;
  std::size_t made = 0;
  const Outcome outcome = end_run(chunk_.data(), tail, made);
  if (outcome == Outcome::Ok && made != 0) {
    std::memcpy(output, chunk_.data(), made);
    written = made;
  }
  secure_wipe(chunk_.data(), needed);
  return outcome;
}

Outcome IncrementalState::update_in_place(ChunkBuffer chunk) {
  if (phase_ == Phase::Failed) {
    return failure_;
  }
  if (phase_ != Phase::Running || held_ != 0) {
    return Outcome::InvalidArgument;
  }
  std::size_t made = 0;
  return run_chunk(chunk.data(), kChunkSize, made);
}

Outcome IncrementalState::finish_in_place(ChunkBuffer chunk, std::size_t length,
                                          std::size_t& written) {
  written = 0;
  if (phase_ == Phase::Failed) {
    return failure_;
  }
  if (phase_ != Phase::Running || held_ != 0 || length >= kChunkSize) {
    return Outcome::InvalidArgument;
  }
  return end_run(chunk.data(), length, written);
}

Outcome IncrementalState::end_run(std::uint8_t* chunk, std::size_t length, std::size_t& written) {
  if (length != 0) {
    if (const Outcome outcome = run_chunk(chunk, length, written); outcome != Outcome::Ok) {
      return outcome;
    }
  }
  // The end of input: the worker finishes, as it must, with nothing more.
  if (!ready_worker()) {
    return fail(outcome_of(stream_.failure()));
  }
  stream_.fill_input(0);
  if (stream_.resume() != YieldCode::Finished || stream_.failure() != StreamFailure::None) {
    written = 0;
    return fail(Outcome::CipherFailed);
  }
  worker_ready_ = false;
  phase_ = Phase::Ended;
  if (!keys_shared_) {
    release_keys();
  }
  return Outcome::Ok;
}

Outcome IncrementalState::run_chunk(std::uint8_t* chunk, std::size_t length, std::size_t& written) {
  written = 0;
  if (!ready_worker()) {
    return fail(outcome_of(stream_.failure()));
  }
  stream_.fill_input_in_place(ChunkBuffer(chunk, kChunkSize), length);
  YieldCode code = stream_.resume();
  // A whole chunk fills the output window; a short one leaves the worker
  // asking for more.
  if (code == YieldCode::OutputFull) {
    written = stream_.take_output().size();
    code = stream_.resume();
  } else if (code == YieldCode::NeedInput) {
    written = stream_.take_output().size();
  }
  if (code != YieldCode::NeedInput) {
    written = 0;
    worker_ready_ = false;
    return fail(outcome_of(stream_.failure()));
  }
  return Outcome::Ok;
}

bool IncrementalState::ready_worker() {
  if (!worker_ready_) {
    // A new worker, over this state's buffer until a chunk is given; it asks
    // for input first.
    stream_.attach(chunk_, chunk_);
    stream_.hand_off_passes(handed_off_);
    worker_ready_ = stream_.resume() == YieldCode::NeedInput;
  }
  return worker_ready_;
}

void IncrementalState::hand_off_passes(std::size_t count) {
  handed_off_ = count;
  keys_shared_ = true;
  stream_.hand_off_passes(count);
}

Outcome IncrementalState::fail(Outcome outcome) {
  phase_ = Phase::Failed;
  failure_ = outcome;
  if (!keys_shared_) {
    release_keys();
  }
  return outcome;
}

void IncrementalState::release_keys() {
  stream_.release();
  secure_wipe(chunk_.data(), held_);
  held_ = 0;
}

void IncrementalState::wipe() {
  release_keys();
  if (phase_ == Phase::Running) {
    phase_ = Phase::Ended;
  }
  worker_ready_ = false;
  handed_off_ = 0;
  keys_shared_ = false;
}

}  // namespace cryptcore
