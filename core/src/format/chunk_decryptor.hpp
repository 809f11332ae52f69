// SPDX-License-Identifier: Apache-2.0
// Decryption of a stretch of a file's chunks on its own, wherever it lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/provider.hpp"
#include "format/cipher_stream.hpp"
#include "format/key_schedule.hpp"

namespace cryptcore {

// A CBC block decrypts from the ciphertext block before it alone, in each
// pass, so any stretch of whole chunks of a file, and its final short chunk,
// decrypts to the bytes a run from the start gives there, once the ciphertext
// just before it is known: its `lead`. Each thread that decrypts stretches
// has a ChunkDecryptor of its own, with its own copies of the keys.
class ChunkDecryptor {
 public:
  // The most bytes of lead a stretch needs: one block for each pass.
  static constexpr std::size_t kMaxLeadSize = kMaxPassKeys * kAesBlockSize;

  ChunkDecryptor() = default;
  ChunkDecryptor(const ChunkDecryptor&) = delete;
  ChunkDecryptor& operator=(const ChunkDecryptor&) = delete;

  // Copies the keys of `stream`, which must be decrypting with its keys set,
  // each with a cipher context of its own; false (and no keys) if the
  // provider fails.
  bool init(const CipherStream& stream);
  // The bytes of lead a stretch needs.
  std::size_t lead_size() const { return pass_keys_.count * kAesBlockSize; }
  // Decrypts the `length` bytes at `data` in place: whole chunks and, when
  // the file ends with them (`ends_file`), a final short chunk whose padding
  // is checked and removed, leaving `length` the plaintext's. `lead` is the
  // lead_size() bytes of ciphertext just before `data`, or empty when `data`
  // starts the file. False if a pass fails.
  bool decrypt(std::span<const std::uint8_t> lead, std::uint8_t* data, std::size_t& length,
               bool ends_file);
  // Destroys the keys.
  void release();

 private:
  // Sets each pass to go on from the lead: the first from its last block;
  // each next one from the last block of the lead as the passes before it
  // make it, decrypted from the lead's earlier blocks.
  bool start_from(std::span<const std::uint8_t> lead);
  // Runs every pass over `length` bytes at `data`.
  bool run_passes(std::uint8_t* data, std::size_t& length, bool final);
  AesCbcKey& decrypting_pass(std::size_t pass) {
    return pass_keys_.keys[pass_keys_.count - 1 - pass];
  }

  Provider provider_;
  PassKeys pass_keys_;
};

}  // namespace cryptcore
