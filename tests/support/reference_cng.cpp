// SPDX-License-Identifier: Apache-2.0
// The references of test_support.hpp, from CNG (bcrypt.dll) called directly:
// each is one call over the whole message on a fresh object, so CNG pads and
// chains by itself, independently of the binding.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace testsupport {

namespace {

// An algorithm provider, closed when dropped.
class Algorithm {
 public:
  explicit Algorithm(LPCWSTR name) {
    EXPECT_GE(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0), 0);
  }
  ~Algorithm() { BCryptCloseAlgorithmProvider(handle_, 0); }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

PUCHAR writable(std::span<const std::uint8_t> bytes) {
  // CNG only reads these; its parameters are not const.
  return const_cast<PUCHAR>(bytes.data());
}

}  // namespace

Bytes reference_digest(Digest digest, std::span<const std::uint8_t> bytes) {
  const Algorithm algorithm(digest == Digest::Sha1 ? BCRYPT_SHA1_ALGORITHM
                                                   : BCRYPT_SHA256_ALGORITHM);
  Bytes out(digest == Digest::Sha1 ? 20 : 32);
  EXPECT_GE(
      BCryptHash(algorithm.get(), nullptr, 0, writable(bytes), static_cast<ULONG>(bytes.size()),
                 out.data(), static_cast<ULONG>(out.size())),
      0);
  return out;
}

Bytes reference_encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                        std::span<const std::uint8_t> plaintext, bool padding) {
  const Algorithm algorithm(BCRYPT_AES_ALGORITHM);
  const wchar_t mode[] = BCRYPT_CHAIN_MODE_CBC;
  EXPECT_GE(BCryptSetProperty(algorithm.get(), BCRYPT_CHAINING_MODE,
                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(mode)), sizeof mode, 0),
            0);
  BCRYPT_KEY_HANDLE key_handle = nullptr;
  EXPECT_GE(BCryptGenerateSymmetricKey(algorithm.get(), &key_handle, nullptr, 0, writable(key),
                                       static_cast<ULONG>(key.size()), 0),
            0);
  Bytes chain(iv.begin(), iv.end());
  Bytes out(plaintext.size() + 16);
  ULONG written = 0;
  EXPECT_GE(
      BCryptEncrypt(key_handle, writable(plaintext), static_cast<ULONG>(plaintext.size()), nullptr,
                    chain.data(), static_cast<ULONG>(chain.size()), out.data(),
                    static_cast<ULONG>(out.size()), &written, padding ? BCRYPT_BLOCK_PADDING : 0),
      0);
  BCryptDestroyKey(key_handle);
  out.resize(written);
  return out;
}

}  // namespace testsupport
