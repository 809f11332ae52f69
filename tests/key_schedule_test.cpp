// The key schedule against the recorded keys and IVs of both chains.
#include "cryptcore/key_schedule.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace {

using cryptcore::KeySchedule;
using testsupport::Bytes;

// What a key does to one zero block (not final), which pins its bytes and IV.
Bytes first_block(cryptcore::AesCbcKey& key) {
  Bytes block(cryptcore::kAesBlockSize, 0);
  std::size_t length = block.size();
  EXPECT_TRUE(key.encrypt(block.data(), length, block.size(), false));
  return block;
}

Bytes expected_first_block(const std::string& key_hex, const std::string& iv_hex) {
  return testsupport::reference_encrypt(testsupport::from_hex(key_hex),
                                        testsupport::from_hex(iv_hex),
                                        Bytes(cryptcore::kAesBlockSize, 0), false);
}

TEST(KeyScheduleTest, MatchesRecordedKeysAndIvs) {
  const auto rows = testsupport::read_tsv("keys.tsv");
  ASSERT_GE(rows.size(), 5U);
  cryptcore::Provider provider;
  ASSERT_TRUE(provider.acquire());
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 5U);
    const Bytes passphrase_bytes = testsupport::from_hex(row[0]);
    const std::string passphrase(passphrase_bytes.begin(), passphrase_bytes.end());
    const Bytes key_1 = expected_first_block(row[1], row[2]);
    const Bytes key_2 = expected_first_block(row[3], row[4]);

    cryptcore::PassKeys single;
    ASSERT_TRUE(cryptcore::derive_pass_keys(provider, passphrase, KeySchedule::Single, single));
    ASSERT_EQ(single.count, 1U);
    EXPECT_EQ(first_block(single.keys[0]), key_1) << "passphrase " << row[0];

    cryptcore::PassKeys cascade;
    ASSERT_TRUE(cryptcore::derive_pass_keys(provider, passphrase, KeySchedule::Cascade, cascade));
    ASSERT_EQ(cascade.count, 2U);
    EXPECT_EQ(first_block(cascade.keys[0]), key_1) << "cascade key 1, passphrase " << row[0];
    EXPECT_EQ(first_block(cascade.keys[1]), key_2) << "cascade key 2, passphrase " << row[0];
  }
}

TEST(KeyScheduleTest, PassphraseBytesAreHashedUnchanged) {
  cryptcore::Provider provider;
  ASSERT_TRUE(provider.acquire());
  const std::string passphrases[] = {"Secret", "secret", "secret ", std::string("se\0cret", 7)};
  std::vector<Bytes> blocks;
  for (const std::string& passphrase : passphrases) {
    cryptcore::PassKeys keys;
    ASSERT_TRUE(cryptcore::derive_pass_keys(provider, passphrase, KeySchedule::Single, keys));
    blocks.push_back(first_block(keys.keys[0]));
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (std::size_t j = i + 1; j < blocks.size(); ++j) {
      EXPECT_NE(blocks[i], blocks[j]) << i << " and " << j;
    }
  }
}

TEST(KeyScheduleTest, FailsWithoutAProviderAndLeavesNoKey) {
  cryptcore::Provider not_acquired;
  cryptcore::PassKeys keys;
  EXPECT_FALSE(cryptcore::derive_pass_keys(not_acquired, "secret", KeySchedule::Cascade, keys));
  EXPECT_EQ(keys.count, 0U);
  EXPECT_FALSE(keys.keys[0].derived());
}

TEST(Sha1DigestTest, ComputeOverItsOwnValueChains) {
  cryptcore::Provider provider;
  ASSERT_TRUE(provider.acquire());
  cryptcore::Sha1Digest digest(provider);
  const std::array<std::uint8_t, 3> abc = {'a', 'b', 'c'};
  ASSERT_TRUE(digest.compute(abc));
  const cryptcore::Sha1Value first = digest.digest();
  // The hash of the 20 bytes of SHA-1("abc"), computed over a separate copy.
  cryptcore::Sha1Digest reference(provider);
  ASSERT_TRUE(reference.compute(first));
  ASSERT_TRUE(digest.compute(digest.digest()));
  EXPECT_EQ(digest.digest(), reference.digest());
  EXPECT_NE(digest.digest(), first);
}

}  // namespace
