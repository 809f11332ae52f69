// SPDX-License-Identifier: Apache-2.0
// The provider binding against the platform crypto library's own one-call
// AES-256-CBC.
#include "crypto/provider.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "test_support.hpp"

namespace {

using cryptcore::AesCbcKey;
using cryptcore::kAesBlockSize;
using testsupport::Bytes;

// A key whose bytes and IV the test knows: derived from a hash of "abc", so
// the key bytes are recomputed here by the published derivation rule.
class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(provider_.acquire());
    ASSERT_TRUE(hash_.create(provider_));
    const std::array<std::uint8_t, 3> abc = {'a', 'b', 'c'};
    ASSERT_TRUE(hash_.append(abc));
    cryptcore::Sha1Value value;
    ASSERT_TRUE(hash_.value(value));
    key_bytes_ = derive_by_hand(value);
    iv_ = testsupport::pattern(kAesBlockSize);
  }

  static Bytes derive_by_hand(const cryptcore::Sha1Value& value) {
    Bytes joined;
    for (std::uint8_t pad_byte : {0x36, 0x5C}) {
      Bytes pad(64, pad_byte);
      for (std::size_t i = 0; i < value.size(); ++i) {
        pad[i] ^= value[i];
      }
      const Bytes digest = testsupport::reference_digest(testsupport::Digest::Sha1, pad);
      joined.insert(joined.end(), digest.begin(), digest.end());
    }
    joined.resize(32);
    return joined;
  }

  void make_key(AesCbcKey& key) {
    ASSERT_TRUE(key.derive(provider_, hash_));
    ASSERT_TRUE(key.set_iv(std::span<const std::uint8_t, 16>(iv_.data(), 16)));
  }

  Bytes reference(const Bytes& plaintext) {
    return testsupport::reference_encrypt(key_bytes_, iv_, plaintext, true);
  }

  cryptcore::Provider provider_;
  cryptcore::Sha1Hash hash_;
  Bytes key_bytes_;
  Bytes iv_;
};

TEST(Sha1HashTest, KnownAnswerAndValueStaysReadable) {
  cryptcore::Provider provider;
  ASSERT_TRUE(provider.acquire());
  cryptcore::Sha1Hash hash;
  ASSERT_TRUE(hash.create(provider));
  const std::array<std::uint8_t, 3> abc = {'a', 'b', 'c'};
  ASSERT_TRUE(hash.append(abc));
  cryptcore::Sha1Value first;
  cryptcore::Sha1Value second;
  ASSERT_TRUE(hash.value(first));
  ASSERT_TRUE(hash.value(second));
  EXPECT_EQ(Bytes(first.begin(), first.end()),
            testsupport::from_hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(first, second);
  EXPECT_FALSE(hash.append(abc)) << "a finished hash must not take more data";
}

// Split points of one message into calls; the last call is final.
TEST_F(ProviderTest, ChunkedEncryptionEqualsOneCall) {
  const Bytes plaintext = testsupport::pattern(5 * kAesBlockSize + 7);
  const std::vector<std::vector<std::size_t>> splits = {
      {87}, {16, 71}, {48, 39}, {16, 16, 16, 16, 23}, {80, 7}};
  for (const auto& split : splits) {
    AesCbcKey key;
    make_key(key);
    Bytes buffer = plaintext;
    buffer.resize(plaintext.size() + kAesBlockSize);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < split.size(); ++i) {
      std::size_t length = split[i];
      ASSERT_TRUE(key.encrypt(buffer.data() + offset, length, buffer.size() - offset,
                              i + 1 == split.size()));
      offset += length;
    }
    buffer.resize(offset);
    EXPECT_EQ(buffer, reference(plaintext)) << "split into " << split.size() << " calls";

    // And back, in the same calls (the final one now a whole number of blocks).
    AesCbcKey decrypt_key;
    make_key(decrypt_key);
    std::size_t in = 0;
    std::size_t out = 0;
    for (std::size_t i = 0; i < split.size(); ++i) {
      const bool final = i + 1 == split.size();
      std::size_t length = final ? buffer.size() - in : split[i];
      ASSERT_TRUE(decrypt_key.decrypt(buffer.data() + in, length, final));
      std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(in), length,
                  buffer.begin() + static_cast<std::ptrdiff_t>(out));
      in += final ? length : split[i];
      out += length;
    }
    buffer.resize(out);
    EXPECT_EQ(buffer, plaintext);
  }
}

TEST_F(ProviderTest, FinalCallPadsOneToSixteenBytes) {
  for (std::size_t length = 0; length <= 3 * kAesBlockSize; ++length) {
    AesCbcKey key;
    make_key(key);
    const Bytes plaintext = testsupport::pattern(length);
    Bytes buffer = plaintext;
    buffer.resize(length + kAesBlockSize);
    std::size_t produced = length;
    ASSERT_TRUE(key.encrypt(buffer.data(), produced, buffer.size(), true));
    EXPECT_EQ(produced, length - length % kAesBlockSize + kAesBlockSize) << length;
    buffer.resize(produced);
    EXPECT_EQ(buffer, reference(plaintext)) << length;
  }
}

TEST_F(ProviderTest, FinalCallAfterAFinalCallStartsFromTheIv) {
  AesCbcKey key;
  make_key(key);
  Bytes first(32, 7);
  Bytes second(32, 7);
  std::size_t length = 20;
  ASSERT_TRUE(key.encrypt(first.data(), length, first.size(), true));
  length = 20;
  ASSERT_TRUE(key.encrypt(second.data(), length, second.size(), true));
  EXPECT_EQ(first, second);
}

TEST_F(ProviderTest, RefusesAFinalCallBeyondCapacityWithoutWriting) {
  struct Case {
    std::size_t length;
    std::size_t capacity;
    bool fits;
  };
  const Case cases[] = {{20, 31, false}, {20, 32, true}, {32, 47, false},
                        {32, 48, true},  {0, 15, false}, {0, 16, true}};
  for (const Case& c : cases) {
    AesCbcKey key;
    make_key(key);
    Bytes buffer(64, 0xAB);
    const Bytes before = buffer;
    std::size_t length = c.length;
    const std::size_t needed = c.length - c.length % kAesBlockSize + kAesBlockSize;
    EXPECT_EQ(key.encrypt(buffer.data(), length, c.capacity, true), c.fits) << c.length;
    EXPECT_EQ(length, needed) << "the call must report the padded length";
    if (!c.fits) {
      EXPECT_EQ(buffer, before) << "a refused call must not write";
    }
  }
}

TEST_F(ProviderTest, RefusesPartialBlocksWithoutTheFinalFlag) {
  AesCbcKey key;
  make_key(key);
  Bytes buffer(64);
  for (std::size_t length : {1, 15, 17, 33}) {
    std::size_t n = length;
    EXPECT_FALSE(key.encrypt(buffer.data(), n, buffer.size(), false)) << length;
    n = length;
    EXPECT_FALSE(key.decrypt(buffer.data(), n, false)) << length;
    n = length;
    EXPECT_FALSE(key.decrypt(buffer.data(), n, true)) << length;
  }
  std::size_t empty = 0;
  EXPECT_FALSE(key.decrypt(buffer.data(), empty, true)) << "no block holds no padding";
}

// Last plaintext blocks, encrypted without padding, that a final decryption
// must accept (with the length it leaves) or reject.
TEST_F(ProviderTest, FinalDecryptionChecksThePadding) {
  struct Case {
    const char* name;
    Bytes last_block;
    bool valid;
    std::size_t kept;
  };
  auto block = [](std::uint8_t fill, std::size_t tail, std::uint8_t tail_byte) {
    Bytes b(kAesBlockSize, fill);
    std::fill(b.end() - static_cast<std::ptrdiff_t>(tail), b.end(), tail_byte);
    return b;
  };
  Bytes one_off = block(0x41, 4, 4);
  one_off[kAesBlockSize - 3] = 5;
  const Case cases[] = {
      {"one byte of padding", block(0x41, 1, 1), true, 15},
      {"a whole block of padding", block(0x10, 16, 16), true, 0},
      {"four bytes of padding", block(0x41, 4, 4), true, 12},
      {"pad byte zero", block(0x41, 1, 0), false, 0},
      {"pad byte seventeen", block(0x11, 1, 17), false, 0},
      {"pad byte 0xFF", block(0x41, 1, 0xFF), false, 0},
      {"padding bytes that differ", one_off, false, 0},
  };
  for (const Case& c : cases) {
    Bytes plaintext = testsupport::pattern(kAesBlockSize);
    plaintext.insert(plaintext.end(), c.last_block.begin(), c.last_block.end());
    Bytes ciphertext = testsupport::reference_encrypt(key_bytes_, iv_, plaintext, false);
    AesCbcKey key;
    make_key(key);
    std::size_t length = ciphertext.size();
    EXPECT_EQ(key.decrypt(ciphertext.data(), length, true), c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(length, kAesBlockSize + c.kept) << c.name;
      EXPECT_TRUE(std::equal(plaintext.begin(),
                             plaintext.begin() + static_cast<std::ptrdiff_t>(length),
                             ciphertext.begin()))
          << c.name;
    }
  }
}

TEST(AesCbcKeyTest, NothingWorksBeforeTheKeyIsDerived) {
  AesCbcKey key;
  Bytes buffer(32);
  std::size_t length = 16;
  EXPECT_FALSE(key.encrypt(buffer.data(), length, buffer.size(), false));
  EXPECT_FALSE(key.decrypt(buffer.data(), length, false));
  const std::array<std::uint8_t, 16> iv{};
  EXPECT_FALSE(key.set_iv(iv));
}

}  // namespace
