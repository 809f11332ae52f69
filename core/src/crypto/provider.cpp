// SPDX-License-Identifier: Apache-2.0
#include "crypto/provider.hpp"

#include <algorithm>
#include <cstring>

#include "crypto/provider_backend.hpp"
#include "crypto/secure_wipe.hpp"

namespace cryptcore {

namespace {

// The key-derivation pads: the hash value is XORed into 64 bytes of each.
constexpr std::size_t kDerivePadSize = 64;
constexpr std::uint8_t kInnerPadByte = 0x36;
constexpr std::uint8_t kOuterPadByte = 0x5C;

bool sha1_of_pad(const Provider& provider, const Sha1Value& value, std::uint8_t pad_byte,
                 std::uint8_t* out) {
  std::array<std::uint8_t, kDerivePadSize> pad;
  pad.fill(pad_byte);
  for (std::size_t i = 0; i < value.size(); ++i) {
    pad[i] ^= value[i];
  }
  Sha1Hash hash;
  Sha1Value digest;
  const bool ok = hash.create(provider) && hash.append(pad) && hash.value(digest);
  if (ok) {
    std::memcpy(out, digest.data(), digest.size());
  }
  secure_wipe(pad.data(), pad.size());
  secure_wipe(digest.data(), digest.size());
  return ok;
}

}  // namespace

bool Provider::acquire() {
  release();
  if (!backend::open_algorithms(sha1_, aes_256_cbc_)) {
    release();
    return false;
  }
  return true;
}

void Provider::release() {
  backend::close_algorithms(sha1_, aes_256_cbc_);
  sha1_ = nullptr;
  aes_256_cbc_ = nullptr;
}

bool Sha1Hash::create(const Provider& provider) {
  destroy();
  if (!provider.acquired() || !backend::hash_create(provider.sha1(), context_)) {
    destroy();
    return false;
  }
  return true;
}

bool Sha1Hash::append(std::span<const std::uint8_t> data) {
  return context_ != nullptr && !finished_ && backend::hash_append(context_, data);
}

bool Sha1Hash::value(Sha1Value& out) {
  if (context_ == nullptr) {
    return false;
  }
  if (!finished_) {
    if (!backend::hash_finish(context_, value_)) {
      return false;
    }
    finished_ = true;
  }
  out = value_;
  return true;
}

void Sha1Hash::destroy() {
  backend::hash_destroy(context_);
  context_ = nullptr;
  secure_wipe(value_.data(), value_.size());
  finished_ = false;
}

bool AesCbcKey::derive(const Provider& provider, Sha1Hash& hash) {
  destroy();
  Sha1Value value;
  std::array<std::uint8_t, 2 * kSha1Size> joined;
  static_assert(kAesKeySize <= 2 * kSha1Size, "two digests must cover the key");
  const bool ok = provider.acquired() && hash.value(value) &&
                  sha1_of_pad(provider, value, kInnerPadByte, joined.data()) &&
                  sha1_of_pad(provider, value, kOuterPadByte, joined.data() + kSha1Size);
  if (ok && backend::cipher_create(provider.aes_256_cbc(), context_)) {
    std::memcpy(key_.data(), joined.data(), key_.size());
    cipher_ = provider.aes_256_cbc();
  }
  secure_wipe(value.data(), value.size());
  secure_wipe(joined.data(), joined.size());
  if (context_ == nullptr) {
    destroy();
    return false;
  }
  return true;
}

bool AesCbcKey::copy_from(const Provider& provider, const AesCbcKey& other) {
  destroy();
  if (!other.derived() || !provider.acquired() ||
      !backend::cipher_create(provider.aes_256_cbc(), context_)) {
    destroy();
    return false;
  }
  cipher_ = provider.aes_256_cbc();
  key_ = other.key_;
  iv_ = other.iv_;
  restart();
  return true;
}

bool AesCbcKey::set_iv(std::span<const std::uint8_t, kIvSize> iv) {
  if (context_ == nullptr) {
    return false;
  }
  std::memcpy(iv_.data(), iv.data(), iv_.size());
  restart();
  return true;
}

bool AesCbcKey::update(Direction direction, std::uint8_t* data, std::size_t length) {
  if (context_ == nullptr || length % kAesBlockSize != 0) {
    return false;
  }
  if (length == 0) {
    return true;
  }
  const bool encrypting = direction == Direction::Encrypt;
  // A message runs in one direction: turning round (or going on after a
  // failure) starts again from the IV.
  const bool direction_changed = direction_ != direction;
  if (direction_changed) {
    restart();
  }
  // The next chaining value is the last ciphertext block: the input's when
  // decrypting (read before it is overwritten in place), the output's when
  // encrypting.
  std::uint8_t* const last_block = data + length - kAesBlockSize;
  std::array<std::uint8_t, kIvSize> next;
  std::copy_n(last_block, kAesBlockSize, next.begin());
  if (!backend::cipher_cbc(cipher_, context_, key_, chain_, encrypting, direction_changed, data,
                           length)) {
    direction_ = Direction::None;
    return false;
  }
  direction_ = direction;
  if (encrypting) {
    std::copy_n(last_block, kAesBlockSize, next.begin());
  }
  chain_ = next;
  return true;
}

bool AesCbcKey::prepare(bool encrypting) {
  std::array<std::uint8_t, kAesBlockSize> block{};
  const bool ok =
      update(encrypting ? Direction::Encrypt : Direction::Decrypt, block.data(), block.size());
  restart();
  secure_wipe(block.data(), block.size());
  return ok;
}

bool AesCbcKey::encrypt(std::uint8_t* data, std::size_t& length, std::size_t capacity, bool final) {
  if (!final) {
    return update(Direction::Encrypt, data, length);
  }
  const std::size_t pad = kAesBlockSize - length % kAesBlockSize;
  const std::size_t padded = length + pad;
  if (padded > capacity) {
    length = padded;
    return false;
  }
  if (context_ == nullptr) {
    return false;
  }
  std::memset(data + length, static_cast<int>(pad), pad);
  const bool ok = update(Direction::Encrypt, data, padded);
  restart();
  if (ok) {
    length = padded;
  }
  return ok;
}

bool AesCbcKey::decrypt(std::uint8_t* data, std::size_t& length, bool final) {
  if (!final) {
    return update(Direction::Decrypt, data, length);
  }
  if (length == 0 || length % kAesBlockSize != 0) {
    return false;
  }
  const bool ok = update(Direction::Decrypt, data, length);
  restart();
  if (!ok) {
    return false;
  }
  // Check the whole last block without branching on its bytes: the last byte
  // names the padding length p (1 to 16), and the last p bytes must all be p.
  const std::uint8_t* last_block = data + length - kAesBlockSize;
  const std::uint8_t pad = last_block[kAesBlockSize - 1];
  unsigned bad = static_cast<unsigned>(pad == 0) | static_cast<unsigned>(pad > kAesBlockSize);
  for (std::size_t i = 0; i < kAesBlockSize; ++i) {
    const bool in_padding = i + pad >= kAesBlockSize;
    bad |= static_cast<unsigned>(in_padding && last_block[i] != pad);
  }
  if (bad != 0) {
    return false;
  }
  length -= pad;
  return true;
}

void AesCbcKey::continue_from(std::span<const std::uint8_t, kAesBlockSize> block) {
  std::copy(block.begin(), block.end(), chain_.begin());
}

void AesCbcKey::destroy() {
  backend::cipher_destroy(context_);
  context_ = nullptr;
  cipher_ = nullptr;
  secure_wipe(key_.data(), key_.size());
  secure_wipe(iv_.data(), iv_.size());
  secure_wipe(chain_.data(), chain_.size());
  direction_ = Direction::None;
}

}  // namespace cryptcore
