// SPDX-License-Identifier: Apache-2.0
// Thin RAII binding over the platform's cryptography, chosen when the library
// is built: OpenSSL's libcrypto on Linux, CNG (bcrypt.dll) on Windows. It is
// the only place that calls either for hashing, key derivation and
// AES-256-CBC; the PKCS #5 padding and the CBC chaining value between calls
// are its own, so both backends give the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace cryptcore {

inline constexpr std::size_t kSha1Size = 20;
inline constexpr std::size_t kAesKeySize = 32;
inline constexpr std::size_t kAesBlockSize = 16;
inline constexpr std::size_t kIvSize = kAesBlockSize;

using Sha1Value = std::array<std::uint8_t, kSha1Size>;

// One of the backend's own objects (an algorithm, a hash or a cipher
// context), opaque here so that nothing above the binding depends on which
// backend it runs on.
using BackendHandle = void*;

// The algorithm implementations a run needs (SHA-1 and AES-256-CBC), fetched
// once so that no later call looks them up again.
class Provider {
 public:
  Provider() = default;
  ~Provider() { release(); }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  // Fetches both algorithms; false (and nothing held) if either is missing.
  bool acquire();
  void release();
  bool acquired() const { return sha1_ != nullptr && aes_256_cbc_ != nullptr; }

  BackendHandle sha1() const { return sha1_; }
  BackendHandle aes_256_cbc() const { return aes_256_cbc_; }

 private:
  BackendHandle sha1_ = nullptr;
  BackendHandle aes_256_cbc_ = nullptr;
};

// One SHA-1 hash object. Its value, once read, stays available so that a key
// can be derived from the object afterwards.
class Sha1Hash {
 public:
  Sha1Hash() = default;
  ~Sha1Hash() { destroy(); }
  Sha1Hash(const Sha1Hash&) = delete;
  Sha1Hash& operator=(const Sha1Hash&) = delete;

  // Starts a fresh hash on `provider`, destroying any previous object.
  bool create(const Provider& provider);
  // Appends bytes; fails once the value has been read.
  bool append(std::span<const std::uint8_t> data);
  // Finishes the hash (on the first call) and copies the value out.
  bool value(Sha1Value& out);
  void destroy();

 private:
  BackendHandle context_ = nullptr;
  Sha1Value value_{};
  bool finished_ = false;
};

// An AES-256 key in CBC mode. The chaining value carries over from one
// encrypt or decrypt call to the next; a call with `final` set ends the
// message (adding or removing PKCS #5 padding) and starts the chaining over
// from the IV. The chaining value is kept here and handed to the backend on
// every call, never left to the backend between calls.
class AesCbcKey {
 public:
  AesCbcKey() = default;
  ~AesCbcKey() { destroy(); }
  AesCbcKey(const AesCbcKey&) = delete;
  AesCbcKey& operator=(const AesCbcKey&) = delete;

  // Derives the 32-byte key from the hash's value: SHA-1 of the value XORed
  // into 64 bytes of 0x36, then of 0x5C; the key is the first 32 bytes of the
  // two digests joined. The IV starts as all zero bytes.
  bool derive(const Provider& provider, Sha1Hash& hash);
  bool set_iv(std::span<const std::uint8_t, kIvSize> iv);
  // Makes this key a copy of `other` (key and IV), with a cipher context of
  // its own on `provider`, starting from the IV; false (and no key) if
  // `other` has none or the context cannot be made.
  bool copy_from(const Provider& provider, const AesCbcKey& other);

  // Sets the key up for calls in one direction now (the backend may
  // allocate its key schedule on the first call), by running one block of
  // zero bytes; the next call starts from the IV.
  bool prepare(bool encrypting);
  // Encrypts `length` bytes at `data` in place. Without `final` the length
  // must be a whole number of blocks. With `final`, 1 to 16 padding bytes are
  // appended; if the padded length exceeds `capacity` the call fails, writes
  // nothing and sets `length` to the length it needs.
  bool encrypt(std::uint8_t* data, std::size_t& length, std::size_t capacity, bool final);
  // Decrypts `length` bytes at `data` in place; the length must be a whole
  // number of blocks. With `final` the padding is checked and removed, and a
  // bad padding fails the call.
  bool decrypt(std::uint8_t* data, std::size_t& length, bool final);
  // Goes on from ciphertext block `block`, as if the last call had ended on
  // it, in the direction of that call: a CBC block decrypts from the
  // ciphertext block before it alone, so a message can be decrypted from
  // any block on.
  void continue_from(std::span<const std::uint8_t, kAesBlockSize> block);
  // Starts the next call from the IV again.
  void restart() { chain_ = iv_; }
  void destroy();

  bool derived() const { return context_ != nullptr; }

 private:
  enum class Direction : std::uint8_t { None, Encrypt, Decrypt };
  // Runs the cipher over whole blocks from the chaining value and moves the
  // chaining value on to the last ciphertext block.
  bool update(Direction direction, std::uint8_t* data, std::size_t length);

  BackendHandle context_ = nullptr;
  BackendHandle cipher_ = nullptr;
  std::array<std::uint8_t, kAesKeySize> key_{};
  std::array<std::uint8_t, kIvSize> iv_{};
  std::array<std::uint8_t, kIvSize> chain_{};
  // The direction of the last call; none before the first call and after a
  // failure. A call in another direction starts from the IV, and a backend
  // that keeps a key schedule per direction sets it up anew.
  Direction direction_ = Direction::None;
};

}  // namespace cryptcore
