// SPDX-License-Identifier: Apache-2.0
// The benchmark's keys for openssl enc: they must be the recorded keys, and
// openssl's padded CBC with them must give our programs' bytes, or the
// benchmark would compare different work.
#include "openssl_keys.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace {

using cryptcore::KeySchedule;
using testsupport::Bytes;

std::string passphrase_of(const std::string& hex) {
  const Bytes bytes = testsupport::from_hex(hex);
  return {bytes.begin(), bytes.end()};
}

TEST(OpensslKeysTest, MatchRecordedKeysAndIvs) {
  const auto rows = testsupport::read_tsv("keys.tsv");
  ASSERT_GE(rows.size(), 5U);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 5U);
    const std::string passphrase = passphrase_of(row[0]);

    const auto single = cryptbench::openssl_pass_keys(passphrase, KeySchedule::Single);
    ASSERT_EQ(single.size(), 1U) << row[0];
    EXPECT_EQ(single[0].key_hex, row[1]) << row[0];
    EXPECT_EQ(single[0].iv_hex, row[2]) << row[0];

    const auto cascade = cryptbench::openssl_pass_keys(passphrase, KeySchedule::Cascade);
    ASSERT_EQ(cascade.size(), 2U) << row[0];
    EXPECT_EQ(cascade[0].key_hex, row[1]) << row[0];
    EXPECT_EQ(cascade[0].iv_hex, row[2]) << row[0];
    EXPECT_EQ(cascade[1].key_hex, row[3]) << row[0];
    EXPECT_EQ(cascade[1].iv_hex, row[4]) << row[0];
  }
}

// One padded CBC pass per key, chained, is what the benchmark runs openssl
// enc for. It matches only when the last chunk is partial: a file of whole
// chunks is not padded by our programs, so the benchmark never uses one.
TEST(OpensslKeysTest, ChainedPaddedPassesGiveTheProgramsBytes) {
  const std::size_t lengths[] = {1, 1000, cryptcore::kChunkSize + 1000,
                                 3 * cryptcore::kChunkSize + 17};
  for (const std::size_t length : lengths) {
    for (const KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
      const std::string label = "length " + std::to_string(length) + ", passes " +
                                std::to_string(cryptcore::pass_count(schedule));
      const Bytes plaintext = testsupport::pattern(length);
      const auto ours = testsupport::run_stream("bench passphrase", false, schedule, plaintext);
      ASSERT_EQ(ours.failure, cryptcore::StreamFailure::None) << label;

      Bytes theirs = plaintext;
      for (const auto& key : cryptbench::openssl_pass_keys("bench passphrase", schedule)) {
        theirs = testsupport::reference_encrypt(testsupport::from_hex(key.key_hex),
                                                testsupport::from_hex(key.iv_hex), theirs, true);
      }
      EXPECT_EQ(theirs, ours.output) << label;
    }
  }
}

}  // namespace
