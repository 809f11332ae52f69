// SPDX-License-Identifier: Apache-2.0
// The binding's backend over OpenSSL's libcrypto.
#include <openssl/evp.h>

#include <climits>

#include "crypto/provider_backend.hpp"

namespace cryptcore::backend {

namespace {

EVP_MD* md(BackendHandle handle) {
  return static_cast<EVP_MD*>(handle);
}
EVP_CIPHER* cipher_of(BackendHandle handle) {
  return static_cast<EVP_CIPHER*>(handle);
}
EVP_MD_CTX* hash_of(BackendHandle handle) {
  return static_cast<EVP_MD_CTX*>(handle);
}
EVP_CIPHER_CTX* context_of(BackendHandle handle) {
  return static_cast<EVP_CIPHER_CTX*>(handle);
}

}  // namespace

bool open_algorithms(BackendHandle& sha1, BackendHandle& aes_256_cbc) {
  // Fetched once, so that no later call looks them up again.
  sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  aes_256_cbc = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  if (sha1 == nullptr || aes_256_cbc == nullptr) {
    close_algorithms(sha1, aes_256_cbc);
    return false;
  }
  return true;
}

void close_algorithms(BackendHandle& sha1, BackendHandle& aes_256_cbc) {
  EVP_MD_free(md(sha1));
  EVP_CIPHER_free(cipher_of(aes_256_cbc));
  sha1 = nullptr;
  aes_256_cbc = nullptr;
}

bool hash_create(BackendHandle sha1, BackendHandle& hash) {
  EVP_MD_CTX* const context = EVP_MD_CTX_new();
  hash = context;
  return context != nullptr && EVP_DigestInit_ex2(context, md(sha1), nullptr) == 1;
}

bool hash_append(BackendHandle hash, std::span<const std::uint8_t> data) {
  return EVP_DigestUpdate(hash_of(hash), data.data(), data.size()) == 1;
}

bool hash_finish(BackendHandle hash, Sha1Value& out) {
  return EVP_DigestFinal_ex(hash_of(hash), out.data(), nullptr) == 1;
}

void hash_destroy(BackendHandle& hash) {
  // Frees and cleanses the digest state.
  EVP_MD_CTX_free(hash_of(hash));
  hash = nullptr;
}

bool cipher_create(BackendHandle, BackendHandle& cipher) {
  cipher = EVP_CIPHER_CTX_new();
  return cipher != nullptr;
}

bool cipher_cbc(BackendHandle aes_256_cbc, BackendHandle cipher,
                std::span<const std::uint8_t, kAesKeySize> key,
                std::span<const std::uint8_t, kIvSize> chain, bool encrypting,
                bool direction_changed, std::uint8_t* data, std::size_t length) {
  EVP_CIPHER_CTX* const context = context_of(cipher);
  // The key schedule differs by direction, so it is set up only when the
  // direction changes; otherwise only the chaining value is set. Padding is
  // the binding's: the context transforms exactly the bytes it is given.
  const bool ready =
      direction_changed
          ? EVP_CipherInit_ex2(context, cipher_of(aes_256_cbc), key.data(), chain.data(),
                               encrypting ? 1 : 0, nullptr) == 1 &&
                EVP_CIPHER_CTX_set_padding(context, 0) == 1
          : EVP_CipherInit_ex2(context, nullptr, nullptr, chain.data(), -1, nullptr) == 1;
  int written = 0;
  return ready && length <= static_cast<std::size_t>(INT_MAX) &&
         EVP_CipherUpdate(context, data, &written, data, static_cast<int>(length)) == 1 &&
         static_cast<std::size_t>(written) == length;
}

void cipher_destroy(BackendHandle& cipher) {
  // Frees and cleanses the context, key schedule included.
  EVP_CIPHER_CTX_free(context_of(cipher));
  cipher = nullptr;
}

}  // namespace cryptcore::backend
