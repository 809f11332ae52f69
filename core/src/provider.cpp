#include "cryptcore/provider.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

namespace cryptcore {

namespace {

// The key-derivation pads: the hash value is XORed into 64 bytes of each.
constexpr std::size_t kDerivePadSize = 64;
constexpr std::uint8_t kInnerPadByte = 0x36;
constexpr std::uint8_t kOuterPadByte = 0x5C;

bool sha1_of_pad(const EVP_MD* sha1, const Sha1Value& value, std::uint8_t pad_byte,
                 std::uint8_t* out) {
  std::array<std::uint8_t, kDerivePadSize> pad;
  pad.fill(pad_byte);
  for (std::size_t i = 0; i < value.size(); ++i) {
    pad[i] ^= value[i];
  }
  const bool ok = EVP_Digest(pad.data(), pad.size(), out, nullptr, sha1, nullptr) == 1;
  OPENSSL_cleanse(pad.data(), pad.size());
  return ok;
}

}  // namespace

bool Provider::acquire() {
  release();
  // A run needs only the built-in SHA-1 and AES-256-CBC: reading the system's
  // OpenSSL configuration and freeing the library's tables at exit cost over
  // a quarter of a short run's instructions, and change no byte.
  if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr) != 1) {
    return false;
  }
  sha1_ = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  aes_256_cbc_ = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  if (!acquired()) {
    release();
    return false;
  }
  return true;
}

void Provider::release() {
  EVP_MD_free(sha1_);
  EVP_CIPHER_free(aes_256_cbc_);
  sha1_ = nullptr;
  aes_256_cbc_ = nullptr;
}

bool Sha1Hash::create(const Provider& provider) {
  destroy();
  if (provider.sha1() == nullptr) {
    return false;
  }
  context_ = EVP_MD_CTX_new();
  if (context_ == nullptr || EVP_DigestInit_ex2(context_, provider.sha1(), nullptr) != 1) {
    destroy();
    return false;
  }
  return true;
}

bool Sha1Hash::append(std::span<const std::uint8_t> data) {
  return context_ != nullptr && !finished_ &&
         EVP_DigestUpdate(context_, data.data(), data.size()) == 1;
}

bool Sha1Hash::value(Sha1Value& out) {
  if (context_ == nullptr) {
    return false;
  }
  if (!finished_) {
    if (EVP_DigestFinal_ex(context_, value_.data(), nullptr) != 1) {
      return false;
    }
    finished_ = true;
  }
  out = value_;
  return true;
}

void Sha1Hash::destroy() {
  EVP_MD_CTX_free(context_);
  context_ = nullptr;
  OPENSSL_cleanse(value_.data(), value_.size());
  finished_ = false;
}

bool AesCbcKey::derive(const Provider& provider, Sha1Hash& hash) {
  destroy();
  Sha1Value value;
  std::array<std::uint8_t, 2 * kSha1Size> joined;
  static_assert(kAesKeySize <= 2 * kSha1Size, "two digests must cover the key");
  const bool ok = provider.acquired() && hash.value(value) &&
                  sha1_of_pad(provider.sha1(), value, kInnerPadByte, joined.data()) &&
                  sha1_of_pad(provider.sha1(), value, kOuterPadByte, joined.data() + kSha1Size);
  if (ok) {
    std::memcpy(key_.data(), joined.data(), key_.size());
    context_ = EVP_CIPHER_CTX_new();
    cipher_ = provider.aes_256_cbc();
  }
  OPENSSL_cleanse(value.data(), value.size());
  OPENSSL_cleanse(joined.data(), joined.size());
  if (context_ == nullptr) {
    destroy();
    return false;
  }
  return true;
}

bool AesCbcKey::set_iv(std::span<const std::uint8_t, kIvSize> iv) {
  if (context_ == nullptr) {
    return false;
  }
  std::memcpy(iv_.data(), iv.data(), iv_.size());
  direction_ = Direction::None;
  return true;
}

bool AesCbcKey::start(bool encrypting) {
  const Direction wanted = encrypting ? Direction::Encrypt : Direction::Decrypt;
  if (direction_ == wanted) {
    return true;
  }
  direction_ = Direction::None;
  // Padding is handled here, not by the context, so that every update call
  // transforms exactly the bytes it is given, in place.
  if (context_ == nullptr ||
      EVP_CipherInit_ex2(context_, cipher_, key_.data(), iv_.data(), encrypting ? 1 : 0, nullptr) !=
          1 ||
      EVP_CIPHER_CTX_set_padding(context_, 0) != 1) {
    return false;
  }
  direction_ = wanted;
  return true;
}

bool AesCbcKey::update(std::uint8_t* data, std::size_t length) {
  if (length == 0) {
    return true;
  }
  int written = 0;
  if (length > static_cast<std::size_t>(INT_MAX) ||
      EVP_CipherUpdate(context_, data, &written, data, static_cast<int>(length)) != 1 ||
      static_cast<std::size_t>(written) != length) {
    direction_ = Direction::None;
    return false;
  }
  return true;
}

bool AesCbcKey::encrypt(std::uint8_t* data, std::size_t& length, std::size_t capacity, bool final) {
  if (!final) {
    return length % kAesBlockSize == 0 && start(true) && update(data, length);
  }
  const std::size_t pad = kAesBlockSize - length % kAesBlockSize;
  const std::size_t padded = length + pad;
  if (padded > capacity) {
    length = padded;
    return false;
  }
  if (!start(true)) {
    return false;
  }
  std::memset(data + length, static_cast<int>(pad), pad);
  const bool ok = update(data, padded);
  direction_ = Direction::None;
  if (ok) {
    length = padded;
  }
  return ok;
}

bool AesCbcKey::decrypt(std::uint8_t* data, std::size_t& length, bool final) {
  if (length % kAesBlockSize != 0 || !start(false)) {
    return false;
  }
  if (!final) {
    return update(data, length);
  }
  direction_ = Direction::None;
  if (length == 0 || !update(data, length)) {
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

void AesCbcKey::destroy() {
  EVP_CIPHER_CTX_free(context_);
  context_ = nullptr;
  cipher_ = nullptr;
  OPENSSL_cleanse(key_.data(), key_.size());
  OPENSSL_cleanse(iv_.data(), iv_.size());
  direction_ = Direction::None;
}

}  // namespace cryptcore
