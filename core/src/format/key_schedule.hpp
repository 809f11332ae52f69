// SPDX-License-Identifier: Apache-2.0
// Turns a passphrase into the pass keys of one run: 256 rounds of SHA-1 over
// a 36-byte buffer give the first key and its IV; the cascade adds a second
// chain of SHA-1 for its second key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "cryptcore/file_cipher.hpp"
#include "crypto/provider.hpp"

namespace cryptcore {

inline constexpr int kStretchRounds = 256;
inline constexpr std::size_t kStretchSize = 36;
// Where the IVs sit in the stretch buffer after the last round.
inline constexpr std::size_t kFirstIvOffset = 20;
inline constexpr std::size_t kSecondIvOffset = 4;

inline constexpr std::size_t kMaxPassKeys = 2;

constexpr std::size_t pass_count(KeySchedule schedule) {
  return static_cast<std::size_t>(schedule);
}

// One SHA-1 hash object whose latest value is kept in `digest`.
class Sha1Digest {
 public:
  explicit Sha1Digest(const Provider& provider) : provider_(provider) { digest_.fill(0xFF); }
  ~Sha1Digest();
  Sha1Digest(const Sha1Digest&) = delete;
  Sha1Digest& operator=(const Sha1Digest&) = delete;

  // Replaces the hash object with a fresh one over `data` and reads its value.
  bool compute(std::span<const std::uint8_t> data);
  void release();

  const Sha1Value& digest() const { return digest_; }
  // The live hash object, for deriving a key from its value.
  Sha1Hash& hash() { return hash_; }

 private:
  Sha1Value digest_;
  const Provider& provider_;
  Sha1Hash hash_;
  bool live_ = false;
};

// The keys of one run, in pass order (key 1 first).
struct PassKeys {
  std::array<AesCbcKey, kMaxPassKeys> keys;
  std::size_t count = 0;

  std::span<AesCbcKey> in_pass_order() { return {keys.data(), count}; }
  // Makes these keys copies of `other`'s, on `provider`; false (and no key
  // left) if `other` has none or the provider failed.
  bool copy_from(const Provider& provider, const PassKeys& other);
  // Destroys key 1, then key 2.
  void destroy();
};

// Derives the pass keys, with their IVs, that `schedule` takes from
// `passphrase` (its bytes as they are). False if the provider failed; then no
// key is left.
bool derive_pass_keys(const Provider& provider, std::string_view passphrase, KeySchedule schedule,
                      PassKeys& pass_keys);

}  // namespace cryptcore
