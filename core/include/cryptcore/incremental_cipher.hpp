// SPDX-License-Identifier: Apache-2.0
// The cipher in memory: feed bytes in any pieces and get back exactly the
// bytes that singlecrypt or cascadecrypt would write for the whole input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "cryptcore/cipher_options.hpp"
#include "cryptcore/outcome.hpp"

namespace cryptcore {

// The size and alignment of an incremental cipher's state. Like the
// workspace's, the size is part of the library's binary interface.
inline constexpr std::size_t kIncrementalCipherSize = 68 * 1024;
inline constexpr std::size_t kIncrementalCipherAlignment = 64;

// The largest output of finish(): a room this size always does.
inline constexpr std::size_t kFinishCapacity = 65536;

// One run at a time in the caller's memory: after init() the bytes go in
// through update() and the run ends with finish(). Once the keys are set no
// call allocates. The output is the file format: every 65,536-byte chunk of
// input is one chunk of output, given back by the update() that completes
// it, and only a shorter last chunk is padded (encrypting) or unpadded
// (decrypting), by finish().
//
// A call that fails with CipherFailed or LengthUnsupported ends the run: the
// keys are wiped and every later update() or finish() returns the same
// outcome until the next init(). InvalidArgument and OutputTooSmall change
// nothing. The keys are also wiped by finish(), wipe() and the destructor;
// a new init() starts a new run in the same memory.
class IncrementalCipher {
 public:
  // The bytes a cipher takes, at kIncrementalCipherAlignment.
  static constexpr std::size_t stream_size() noexcept { return kIncrementalCipherSize; }
  // Builds a cipher, without keys, in `memory` of `size` bytes; nullptr if it
  // is too small or not aligned. The memory must not hold a cipher whose keys
  // are set (one that finished, failed or was wiped may be built over).
  static IncrementalCipher* place(void* memory, std::size_t size) noexcept;

  IncrementalCipher() noexcept;
  ~IncrementalCipher();
  IncrementalCipher(const IncrementalCipher&) = delete;
  IncrementalCipher& operator=(const IncrementalCipher&) = delete;

  // Derives the keys from the `length` bytes at `passphrase` (any bytes,
  // zero bytes included) and starts a run; a run in progress is wiped first.
  // InvalidArgument for a null passphrase with a length, or a `direction` or
  // `schedule` out of range; CipherFailed if the platform gives no SHA-1 or
  // AES-256-CBC.
  Outcome init(const char* passphrase, std::size_t length, Direction direction,
               KeySchedule schedule) noexcept;

  // The output room that update() needs for `length` bytes of input, whatever
  // came before: `length` rounded up to whole chunks.
  static std::size_t update_capacity(std::size_t length) noexcept;
  // Takes all `length` bytes at `input` and writes to `output` every chunk
  // they complete; `written` is how many bytes (a multiple of 65,536). The
  // two ranges must not overlap. OutputTooSmall if `capacity` is below
  // update_capacity(length); InvalidArgument without a run or for a null
  // pointer with a length.
  Outcome update(const std::uint8_t* input, std::size_t length, std::uint8_t* output,
                 std::size_t capacity, std::size_t& written) noexcept;
  // Ends the run: writes the last short chunk, padded when encrypting (the
  // tail's length rounded down to whole blocks, plus 16 bytes per pass) or
  // with its padding checked and removed when decrypting (at most the tail's
  // length). LengthUnsupported if that padding would fill a whole chunk;
  // CipherFailed for a bad padding or a ciphertext that is not whole blocks;
  // OutputTooSmall if `capacity` is below that length (kFinishCapacity
  // always does). The keys are wiped when it succeeds or fails.
  Outcome finish(std::uint8_t* output, std::size_t capacity, std::size_t& written) noexcept;
  // Wipes the keys and the bytes held back, and ends the run; may be called
  // any time, any number of times.
  void wipe() noexcept;

  // The ciphertext length of `length` bytes of plaintext under `schedule`;
  // nullopt for a length whose last chunk is too long to pad (or a schedule
  // out of range).
  static std::optional<std::uint64_t> encrypted_size(std::uint64_t length,
                                                     KeySchedule schedule) noexcept;

 private:
  friend class IncrementalState;
  alignas(kIncrementalCipherAlignment) std::byte storage_[kIncrementalCipherSize];
};

}  // namespace cryptcore
