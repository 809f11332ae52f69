// SPDX-License-Identifier: Apache-2.0
// The key schedule against the recorded keys and IVs of both chains.
#include "format/key_schedule.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

#if defined(__aarch64__)
cryptcore::Provider residue_provider;
cryptcore::PassKeys residue_keys;
bool residue_derived = false;

[[gnu::noinline]] void derive_residue_keys() {
  residue_derived = cryptcore::derive_pass_keys(residue_provider, "register residue",
                                                KeySchedule::Cascade, residue_keys);
}

// Once the key schedule has returned, no vector register holds anything of
// it (its SHA-1 state among it), and the low halves of v8-v15, which the
// caller may keep values in across a call, are as the caller left them. The
// registers are loaded, the schedule run and the registers stored in one
// block, so no code of the test's own comes between.
TEST(KeyScheduleTest, LeavesNoVectorRegisterResidue) {
  ASSERT_TRUE(residue_provider.acquire());
  constexpr std::size_t kRegisterSize = 16;
  using Registers = std::array<std::array<std::uint8_t, kRegisterSize>, 32>;
  Registers before;
  for (std::size_t r = 0; r < before.size(); ++r) {
    for (std::size_t byte = 0; byte < kRegisterSize; ++byte) {
      before[r][byte] = static_cast<std::uint8_t>(1 + (r * kRegisterSize + byte) % 255);
    }
  }
  Registers after{};
  void (*const derive)() = derive_residue_keys;
  asm volatile(
      "ldp q0, q1, [%[before]]\n ldp q2, q3, [%[before], #32]\n"
      "ldp q4, q5, [%[before], #64]\n ldp q6, q7, [%[before], #96]\n"
      "ldp q8, q9, [%[before], #128]\n ldp q10, q11, [%[before], #160]\n"
      "ldp q12, q13, [%[before], #192]\n ldp q14, q15, [%[before], #224]\n"
      "ldp q16, q17, [%[before], #256]\n ldp q18, q19, [%[before], #288]\n"
      "ldp q20, q21, [%[before], #320]\n ldp q22, q23, [%[before], #352]\n"
      "ldp q24, q25, [%[before], #384]\n ldp q26, q27, [%[before], #416]\n"
      "ldp q28, q29, [%[before], #448]\n ldp q30, q31, [%[before], #480]\n"
      "blr %[derive]\n"
      "stp q0, q1, [%[after]]\n stp q2, q3, [%[after], #32]\n"
      "stp q4, q5, [%[after], #64]\n stp q6, q7, [%[after], #96]\n"
      "stp q8, q9, [%[after], #128]\n stp q10, q11, [%[after], #160]\n"
      "stp q12, q13, [%[after], #192]\n stp q14, q15, [%[after], #224]\n"
      "stp q16, q17, [%[after], #256]\n stp q18, q19, [%[after], #288]\n"
      "stp q20, q21, [%[after], #320]\n stp q22, q23, [%[after], #352]\n"
      "stp q24, q25, [%[after], #384]\n stp q26, q27, [%[after], #416]\n"
      "stp q28, q29, [%[after], #448]\n stp q30, q31, [%[after], #480]"
      : /* no outputs: the registers go through memory */
      : [before] "r"(before.data()), [after] "r"(after.data()), [derive] "r"(derive)
      : "x0", "x1", "x2", "x3", "x4", "x5", "x6", "x7", "x8", "x9", "x10", "x11", "x12", "x13",
        "x14", "x15", "x16", "x17", "x18", "x30", "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7",
        "v8", "v9", "v10", "v11", "v12", "v13", "v14", "v15", "v16", "v17", "v18", "v19", "v20",
        "v21", "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31", "cc",
        "memory");
  ASSERT_TRUE(residue_derived);
  for (std::size_t r = 0; r < after.size(); ++r) {
    std::array<std::uint8_t, kRegisterSize> expected{};
    if (r >= 8 && r <= 15) {
      std::copy_n(before[r].begin(), kRegisterSize / 2, expected.begin());
    }
    EXPECT_EQ(after[r], expected) << "v" << r;
  }
}
#endif

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
