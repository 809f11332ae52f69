// SPDX-License-Identifier: Apache-2.0
// The cipher stream: recorded files, round trips, refusals and event order.
#include "format/cipher_stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>

#include "format/chunk_decryptor.hpp"
#include "test_support.hpp"

namespace {

using cryptcore::kChunkSize;
using cryptcore::KeySchedule;
using cryptcore::StreamFailure;
using cryptcore::YieldCode;
using testsupport::Bytes;
using testsupport::run_stream;

KeySchedule schedule_named(const std::string& program) {
  return program == "cascadecrypt" ? KeySchedule::Cascade : KeySchedule::Single;
}

TEST(CipherStreamTest, MatchesRecordedFiles) {
  const auto rows = testsupport::read_tsv("files.tsv");
  ASSERT_GE(rows.size(), 20U);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 5U);
    const Bytes passphrase_bytes = testsupport::from_hex(row[1]);
    const std::string passphrase(passphrase_bytes.begin(), passphrase_bytes.end());
    const Bytes plaintext = testsupport::pattern(std::stoul(row[2]));
    const KeySchedule schedule = schedule_named(row[0]);
    const std::string label = row[0] + " " + row[2];

    const auto encrypted = run_stream(passphrase, false, schedule, plaintext);
    if (row[3] == "refused") {
      EXPECT_EQ(encrypted.failure, StreamFailure::LengthUnsupported) << label;
      continue;
    }
    ASSERT_EQ(encrypted.failure, StreamFailure::None) << label;
    EXPECT_EQ(encrypted.output.size(), std::stoul(row[3])) << label;
    EXPECT_EQ(testsupport::sha256_hex(encrypted.output), row[4]) << label;

    const auto decrypted = run_stream(passphrase, true, schedule, encrypted.output);
    EXPECT_EQ(decrypted.failure, StreamFailure::None) << label;
    EXPECT_EQ(decrypted.output, plaintext) << label;
  }
}

// Lengths around the block and chunk boundaries, and whether encrypting
// them is refused because the padded last chunk would fill a whole chunk.
TEST(CipherStreamTest, RoundTripsAndRefusalsAtBoundaries) {
  struct Case {
    std::size_t length;
    bool single_refused;
    bool cascade_refused;
  };
  const Case cases[] = {
      {0, false, false},
      {1, false, false},
      {15, false, false},
      {16, false, false},
      {17, false, false},
      {65503, false, false},
      {65504, false, true},
      {65519, false, true},
      {65520, true, true},
      {65535, true, true},
      {kChunkSize, false, false},
      {kChunkSize + 1, false, false},
      {2 * kChunkSize + 5, false, false},
      {2 * kChunkSize + 65504, false, true},
      {2 * kChunkSize + 65520, true, true},
      {3 * kChunkSize, false, false},
  };
  for (const Case& c : cases) {
    const Bytes plaintext = testsupport::pattern(c.length);
    for (KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
      const std::size_t passes = cryptcore::pass_count(schedule);
      const bool refused = schedule == KeySchedule::Single ? c.single_refused : c.cascade_refused;
      const std::string label =
          std::to_string(c.length) + " bytes, " + std::to_string(passes) + " pass(es)";
      const auto encrypted = run_stream("boundary", false, schedule, plaintext);
      if (refused) {
        EXPECT_EQ(encrypted.failure, StreamFailure::LengthUnsupported) << label;
        continue;
      }
      ASSERT_EQ(encrypted.failure, StreamFailure::None) << label;
      const std::size_t tail = c.length % kChunkSize;
      const std::size_t expected_size =
          c.length - tail + (tail == 0 ? 0 : tail - tail % 16 + 16 * passes);
      EXPECT_EQ(encrypted.output.size(), expected_size) << label;
      const auto decrypted = run_stream("boundary", true, schedule, encrypted.output);
      EXPECT_EQ(decrypted.failure, StreamFailure::None) << label;
      EXPECT_EQ(decrypted.output, plaintext) << label;
    }
  }
}

TEST(CipherStreamTest, HandsControlToTheDriverInOrder) {
  using Y = YieldCode;
  struct Case {
    std::size_t length;
    std::vector<YieldCode> events;
  };
  const Case cases[] = {
      {0, {Y::NeedInput, Y::Finished}},
      {100, {Y::NeedInput, Y::NeedInput, Y::Finished}},
      {kChunkSize, {Y::NeedInput, Y::OutputFull, Y::NeedInput, Y::Finished}},
      {kChunkSize + 1, {Y::NeedInput, Y::OutputFull, Y::NeedInput, Y::NeedInput, Y::Finished}},
  };
  for (const Case& c : cases) {
    auto stream = std::make_unique<cryptcore::CipherStream>();
    auto buffers = std::make_unique<std::array<std::uint8_t, kChunkSize>[]>(2);
    ASSERT_TRUE(stream->init("order", false, KeySchedule::Single));
    stream->attach(buffers[0], buffers[1]);
    // Fed as the one-thread loop did: whole chunks, then what is left.
    std::vector<YieldCode> events;
    for (std::size_t left = c.length;;) {
      events.push_back(stream->resume());
      if (events.back() == Y::Finished) {
        break;
      }
      if (events.back() == Y::NeedInput) {
        stream->fill_input(std::min(left, kChunkSize));
        left -= std::min(left, kChunkSize);
      } else {
        (void)stream->take_output();
      }
    }
    EXPECT_EQ(events, c.events) << c.length << " bytes";
  }
}

// Ciphertexts that must fail to decrypt rather than yield unchecked bytes.
TEST(CipherStreamTest, RejectsDamagedCiphertext) {
  const Bytes plaintext = testsupport::pattern(1000);
  for (KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
    const Bytes good = run_stream("right", false, schedule, plaintext).output;
    Bytes truncated(good.begin(), good.end() - 1);
    // The last byte of the second-to-last block is XORed into the padding byte.
    Bytes flipped_pad = good;
    flipped_pad[flipped_pad.size() - 17] ^= 0x80;
    const struct {
      const char* name;
      std::string passphrase;
      Bytes ciphertext;
    } cases[] = {
        {"a truncated file", "right", truncated},
        {"one byte too many", "right",
         [&] {
           Bytes b = good;
           b.push_back(0);
           return b;
         }()},
        {"a flipped byte before the last block", "right", flipped_pad},
        {"a wrong passphrase", "wrong", good},
    };
    for (const auto& c : cases) {
      const auto run = run_stream(c.passphrase, true, schedule, c.ciphertext);
      EXPECT_EQ(run.failure, StreamFailure::CipherFailed)
          << c.name << ", " << cryptcore::pass_count(schedule) << " pass(es)";
    }
  }
}

TEST(CipherStreamTest, WithoutKeysNothingPassesThrough) {
  auto stream = std::make_unique<cryptcore::CipherStream>();
  auto buffers = std::make_unique<std::array<std::uint8_t, kChunkSize>[]>(2);
  stream->attach(buffers[0], buffers[1]);
  ASSERT_EQ(stream->resume(), YieldCode::NeedInput);
  stream->fill_input(100);
  EXPECT_EQ(stream->resume(), YieldCode::Finished);
  EXPECT_EQ(stream->failure(), StreamFailure::CipherFailed);
  EXPECT_TRUE(stream->take_output().empty());
}

TEST(CipherStreamTest, ResumeAfterFinishedStaysFinished) {
  auto stream = std::make_unique<cryptcore::CipherStream>();
  auto buffers = std::make_unique<std::array<std::uint8_t, kChunkSize>[]>(2);
  ASSERT_TRUE(stream->init("again", false, KeySchedule::Single));
  stream->attach(buffers[0], buffers[1]);
  ASSERT_EQ(stream->resume(), YieldCode::NeedInput);
  stream->fill_input(0);
  ASSERT_EQ(stream->resume(), YieldCode::Finished);
  EXPECT_EQ(stream->resume(), YieldCode::Finished);
  EXPECT_EQ(stream->failure(), StreamFailure::None);
}

}  // namespace

namespace {

// Takes the cascade's second pass off with key 2, chunk by chunk as the
// stream applies it; what is left must be the single-pass file.
TEST(CipherStreamTest, CascadeInnerLayerIsTheSinglePassFile) {
  cryptcore::Provider provider;
  ASSERT_TRUE(provider.acquire());
  for (std::size_t length :
       {std::size_t{0}, std::size_t{1000}, kChunkSize, kChunkSize + 1000, 2 * kChunkSize + 65503}) {
    const Bytes plaintext = testsupport::pattern(length);
    const auto single = run_stream("layers", false, KeySchedule::Single, plaintext);
    auto cascade = run_stream("layers", false, KeySchedule::Cascade, plaintext);
    ASSERT_EQ(single.failure, StreamFailure::None);
    ASSERT_EQ(cascade.failure, StreamFailure::None);

    cryptcore::PassKeys keys;
    ASSERT_TRUE(cryptcore::derive_pass_keys(provider, "layers", KeySchedule::Cascade, keys));
    Bytes inner;
    for (std::size_t offset = 0; offset < cascade.output.size(); offset += kChunkSize) {
      std::size_t chunk = std::min(kChunkSize, cascade.output.size() - offset);
      std::uint8_t* data = cascade.output.data() + offset;
      ASSERT_TRUE(keys.keys[1].decrypt(data, chunk, chunk < kChunkSize)) << length;
      inner.insert(inner.end(), data, data + chunk);
    }
    EXPECT_EQ(inner, single.output) << length << " bytes";
  }
}

}  // namespace

namespace {

TEST(CipherStreamTest, ResumeWithoutBuffersFailsInsteadOfReading) {
  auto stream = std::make_unique<cryptcore::CipherStream>();
  ASSERT_TRUE(stream->init("no buffers", false, KeySchedule::Single));
  EXPECT_EQ(stream->resume(), YieldCode::Finished);
  EXPECT_EQ(stream->failure(), StreamFailure::CipherFailed);
}

}  // namespace

namespace {

// Every stretch of whole chunks, and every one that ends the file, decrypts
// on its own from the ciphertext blocks just before it to the plaintext there.
TEST(CipherStreamTest, AnyStretchDecryptsOnItsOwnFromItsLead) {
  constexpr std::size_t kChunks = 5;
  const Bytes plaintext = testsupport::pattern(kChunks * kChunkSize + 1000);
  for (const KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
    const Bytes ciphertext = run_stream("stretch", false, schedule, plaintext).output;
    cryptcore::CipherStream keyed;
    ASSERT_TRUE(keyed.init("stretch", true, schedule));
    cryptcore::ChunkDecryptor decryptor;
    ASSERT_TRUE(decryptor.init(keyed));
    for (std::size_t first = 0; first <= kChunks; ++first) {
      for (std::size_t last = first + 1; last <= kChunks + 1; ++last) {
        const std::size_t start = first * kChunkSize;
        const bool ends_file = last == kChunks + 1;
        Bytes stretch(ciphertext.begin() + static_cast<std::ptrdiff_t>(start),
                      ends_file
                          ? ciphertext.end()
                          : ciphertext.begin() + static_cast<std::ptrdiff_t>(last * kChunkSize));
        const std::span<const std::uint8_t> lead =
            first == 0 ? std::span<const std::uint8_t>()
                       : std::span(ciphertext)
                             .subspan(start - decryptor.lead_size(), decryptor.lead_size());
        std::size_t length = stretch.size();
        ASSERT_TRUE(decryptor.decrypt(lead, stretch.data(), length, ends_file));
        const std::size_t end = std::min(plaintext.size(), last * kChunkSize);
        EXPECT_TRUE(std::equal(stretch.begin(),
                               stretch.begin() + static_cast<std::ptrdiff_t>(length),
                               plaintext.begin() + static_cast<std::ptrdiff_t>(start),
                               plaintext.begin() + static_cast<std::ptrdiff_t>(end)))
            << (schedule == KeySchedule::Single ? "single" : "cascade") << ", chunks " << first
            << " to " << last;
      }
    }
  }
}

}  // namespace
