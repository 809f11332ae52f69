// SPDX-License-Identifier: Apache-2.0
// The references of test_support.hpp, from OpenSSL's libcrypto.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

#include "test_support.hpp"

namespace testsupport {

Bytes reference_digest(Digest digest, std::span<const std::uint8_t> bytes) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), out.data(), &size,
                       digest == Digest::Sha1 ? EVP_sha1() : EVP_sha256(), nullptr),
            1);
  out.resize(size);
  return out;
}

Bytes reference_encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                        std::span<const std::uint8_t> plaintext, bool padding) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                          EVP_CIPHER_CTX_free);
  Bytes out(plaintext.size() + 16);
  int written = 0;
  int tail = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data()),
            1);
  EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0);
  EXPECT_EQ(EVP_EncryptUpdate(context.get(), out.data(), &written, plaintext.data(),
                              static_cast<int>(plaintext.size())),
            1);
  EXPECT_EQ(EVP_EncryptFinal_ex(context.get(), out.data() + written, &tail), 1);
  out.resize(static_cast<std::size_t>(written + tail));
  return out;
}

}  // namespace testsupport
