// SPDX-License-Identifier: Apache-2.0
#include "cryptcore/incremental_cipher.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <string_view>

#include "format/incremental_state.hpp"

namespace cryptcore {

IncrementalCipher* IncrementalCipher::place(void* memory, std::size_t size) noexcept {
  if (memory == nullptr || size < stream_size() ||
      reinterpret_cast<std::uintptr_t>(memory) % kIncrementalCipherAlignment != 0) {
    return nullptr;
  }
  return ::new (memory) IncrementalCipher;
}

// Default-initialised: the chunk buffer is written before it is read.
IncrementalCipher::IncrementalCipher() noexcept {
  ::new (static_cast<void*>(storage_)) IncrementalState;
}

IncrementalCipher::~IncrementalCipher() {
  IncrementalState::in(*this).~IncrementalState();
}

Outcome IncrementalCipher::init(const char* passphrase, std::size_t length, Direction direction,
                                KeySchedule schedule) noexcept {
  if (passphrase == nullptr && length != 0) {
    return Outcome::InvalidArgument;
  }
  return IncrementalState::in(*this).init(std::string_view(passphrase, length), direction,
                                          schedule);
}

std::size_t IncrementalCipher::update_capacity(std::size_t length) noexcept {
  const std::size_t chunks = length / kChunkSize + (length % kChunkSize != 0 ? 1 : 0);
  // A length within a chunk of the largest size is more than any memory
  // holds: no room is enough for it.
  return chunks <= std::numeric_limits<std::size_t>::max() / kChunkSize
             ? chunks * kChunkSize
             : std::numeric_limits<std::size_t>::max();
}

Outcome IncrementalCipher::update(const std::uint8_t* input, std::size_t length,
                                  std::uint8_t* output, std::size_t capacity,
                                  std::size_t& written) noexcept {
  return IncrementalState::in(*this).update(input, length, output, capacity, written);
}

Outcome IncrementalCipher::finish(std::uint8_t* output, std::size_t capacity,
                                  std::size_t& written) noexcept {
  return IncrementalState::in(*this).finish(output, capacity, written);
}

void IncrementalCipher::wipe() noexcept {
  IncrementalState::in(*this).wipe();
}

std::optional<std::uint64_t> IncrementalCipher::encrypted_size(std::uint64_t length,
                                                               KeySchedule schedule) noexcept {
  if (schedule != KeySchedule::Single && schedule != KeySchedule::Cascade) {
    return std::nullopt;
  }
  // Whole chunks keep their length; each pass pads the last short one to
  // the next whole block, so a tail of whole blocks grows by a block a pass.
  const std::uint64_t tail = length % kChunkSize;
  if (tail == 0) {
    return length;
  }
  const std::uint64_t padded = tail - tail % kAesBlockSize + kAesBlockSize * pass_count(schedule);
  if (padded >= kChunkSize) {
    return std::nullopt;
  }
  return length - tail + padded;
}

}  // namespace cryptcore
