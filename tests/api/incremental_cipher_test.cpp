// SPDX-License-Identifier: Apache-2.0
// The incremental cipher: the recorded files in any pieces, the lengths it
// states, and every call's outcome, with what a failure or a wipe leaves.
#include "cryptcore/incremental_cipher.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "format/incremental_state.hpp"
#include "test_support.hpp"

namespace {

using cryptcore::Direction;
using cryptcore::IncrementalCipher;
using cryptcore::kChunkSize;
using cryptcore::KeySchedule;
using cryptcore::Outcome;
using cryptcore::StreamFailure;
using testsupport::Bytes;
using testsupport::run_stream;

constexpr std::size_t kNoRoom = 0;

// Piece lengths that cut `length` bytes at random places, some short and
// some over a chunk, so that pieces end inside, at and across chunks.
std::vector<std::size_t> random_pieces(std::mt19937& random, std::size_t length) {
  std::vector<std::size_t> pieces;
  std::uniform_int_distribution<std::size_t> size_class(0, 2);
  for (std::size_t cut = 0; cut < length;) {
    const std::size_t most = size_class(random) == 0 ? 17 : 3 * kChunkSize / 2;
    pieces.push_back(std::uniform_int_distribution<std::size_t>(0, most)(random));
    cut += pieces.back();
  }
  return pieces;
}

TEST(IncrementalCipherTest, RecordedFilesInAnyPieces) {
  std::mt19937 random(20261208);
  for (const auto& row : testsupport::read_tsv("files.tsv")) {
    const Bytes passphrase_bytes = testsupport::from_hex(row[1]);
    const std::string passphrase(passphrase_bytes.begin(), passphrase_bytes.end());
    const KeySchedule schedule =
        row[0] == "cascadecrypt" ? KeySchedule::Cascade : KeySchedule::Single;
    const Bytes plaintext = testsupport::pattern(std::stoul(row[2]));
    const std::optional<std::uint64_t> size =
        IncrementalCipher::encrypted_size(plaintext.size(), schedule);
    EXPECT_EQ(size ? std::to_string(*size) : "refused", row[3]) << row[0] << " " << row[2];
    for (int split = 0; split < 4; ++split) {
      const std::string label = row[0] + " " + row[2] + ", split " + std::to_string(split);
      const auto pieces = random_pieces(random, plaintext.size());
      const auto encrypted = run_stream(passphrase, false, schedule, plaintext, pieces);
      if (!size) {
        EXPECT_EQ(encrypted.failure, StreamFailure::LengthUnsupported) << label;
        continue;
      }
      ASSERT_EQ(encrypted.failure, StreamFailure::None) << label;
      EXPECT_EQ(testsupport::sha256_hex(encrypted.output), row[4]) << label;
      const auto decrypted = run_stream(passphrase, true, schedule, encrypted.output,
                                        random_pieces(random, encrypted.output.size()));
      EXPECT_EQ(decrypted.failure, StreamFailure::None) << label;
      EXPECT_EQ(decrypted.output, plaintext) << label;
    }
  }
}

TEST(IncrementalCipherTest, UsesEveryByteOfThePassphrase) {
  const Bytes plain = testsupport::pattern(1000);
  const std::size_t pieces[] = {1, 16, 500};
  for (const auto& row : testsupport::read_tsv("keys.tsv")) {
    const Bytes passphrase_bytes = testsupport::from_hex(row[0]);
    const std::string passphrase(passphrase_bytes.begin(), passphrase_bytes.end());
    for (const KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
      EXPECT_EQ(run_stream(passphrase, false, schedule, plain, pieces).output,
                testsupport::encrypt_with_recorded_keys(row, schedule, plain))
          << "passphrase " << row[0] << ", " << cryptcore::pass_count(schedule) << " pass(es)";
    }
  }
}

TEST(IncrementalCipherTest, StatedLengths) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::uint64_t length;
    KeySchedule schedule;
    std::optional<std::uint64_t> expected;
  } sizes[] = {
      {0, KeySchedule::Single, 0},
      {65519, KeySchedule::Single, 65520},
      {65520, KeySchedule::Single, std::nullopt},
      {65503, KeySchedule::Cascade, 65520},
      {65504, KeySchedule::Cascade, std::nullopt},
      {3 * kChunkSize, KeySchedule::Cascade, 3 * kChunkSize},
      {(std::uint64_t{1} << 40) + 1, KeySchedule::Cascade, (std::uint64_t{1} << 40) + 32},
      {kMax - kMax % kChunkSize, KeySchedule::Single, kMax - kMax % kChunkSize},
      {kMax - kMax % kChunkSize + 1, KeySchedule::Single, kMax - kMax % kChunkSize + 16},
      {kMax, KeySchedule::Single, std::nullopt},
      {100, static_cast<KeySchedule>(3), std::nullopt},
  };
  for (const auto& c : sizes) {
    EXPECT_EQ(IncrementalCipher::encrypted_size(c.length, c.schedule), c.expected) << c.length;
  }
  constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();
  const std::pair<std::size_t, std::size_t> capacities[] = {
      {0, 0},
      {1, kChunkSize},
      {kChunkSize, kChunkSize},
      {kChunkSize + 1, 2 * kChunkSize},
      {kSizeMax, kSizeMax},
  };
  for (const auto& [length, room] : capacities) {
    EXPECT_EQ(IncrementalCipher::update_capacity(length), room) << length;
  }
}

// One cipher and what its calls gave: the outcome of each and all output.
struct Calls {
  std::unique_ptr<IncrementalCipher> cipher = std::make_unique<IncrementalCipher>();
  std::vector<Outcome> outcomes;
  Bytes output = Bytes(4 * kChunkSize);
  std::size_t made = 0;

  void init(std::string_view passphrase, Direction direction = Direction::Encrypt,
            KeySchedule schedule = KeySchedule::Cascade) {
    outcomes.push_back(cipher->init(passphrase.data(), passphrase.size(), direction, schedule));
  }
  void update(const Bytes& input, std::size_t room) {
    std::size_t written = 99;
    outcomes.push_back(
        cipher->update(input.data(), input.size(), output.data() + made, room, written));
    EXPECT_TRUE(outcomes.back() == Outcome::Ok || written == 0);
    made += written;
  }
  void update(const Bytes& input) {
    update(input, IncrementalCipher::update_capacity(input.size()));
  }
  void finish(std::size_t room = cryptcore::kFinishCapacity) {
    std::size_t written = 99;
    outcomes.push_back(cipher->finish(output.data() + made, room, written));
    EXPECT_TRUE(outcomes.back() == Outcome::Ok || written == 0);
    made += written;
  }
  bool keys_set() { return cryptcore::IncrementalState::in(*cipher).passes() != 0; }
};

TEST(IncrementalCipherTest, CallsAndTheirOutcomes) {
  using O = Outcome;
  const Bytes plain = testsupport::pattern(kChunkSize + 1000);
  const Bytes head(plain.begin(), plain.begin() + 1000);
  const Bytes rest(plain.begin() + 1000, plain.end());
  const Bytes cipher = run_stream("right", false, KeySchedule::Cascade, plain).output;
  const Bytes short_cipher = run_stream("right", false, KeySchedule::Cascade, head).output;
  const Bytes short_head(short_cipher.begin(), short_cipher.begin() + 500);
  const Bytes short_rest(short_cipher.begin() + 500, short_cipher.end());
  const struct Case {
    const char* name;
    std::function<void(Calls&)> calls;
    std::vector<Outcome> outcomes;
    // The output once the calls are made, or none if it must stay empty.
    const Bytes* output;
    bool keys_left;
  } cases[] = {
      {"a run in two pieces",
       [&](Calls& c) { c.init("right"), c.update(head), c.update(rest), c.finish(); },
       {O::Ok, O::Ok, O::Ok, O::Ok},
       &cipher,
       false},
      {"too little room changes nothing",
       [&](Calls& c) {
         c.init("right"), c.update(head), c.update(rest, kChunkSize - 1), c.update(rest),
             c.finish(1), c.finish();
       },
       {O::Ok, O::Ok, O::OutputTooSmall, O::Ok, O::OutputTooSmall, O::Ok},
       &cipher,
       false},
      {"a room the size of the output is enough for finish",
       [&](Calls& c) { c.init("right"), c.update(plain), c.finish(cipher.size() - kChunkSize); },
       {O::Ok, O::Ok, O::Ok},
       &cipher,
       false},
      {"a bad padding sticks and wipes the keys",
       [&](Calls& c) {
         c.init("wrong", Direction::Decrypt), c.update(short_head), c.update(short_rest),
             c.finish(), c.update(head), c.finish();
       },
       {O::Ok, O::Ok, O::Ok, O::CipherFailed, O::CipherFailed, O::CipherFailed},
       nullptr,
       false},
      {"a tail too long to pad sticks and wipes the keys",
       [&](Calls& c) {
         c.init("right"), c.update(Bytes(65504)), c.finish(kNoRoom), c.update(head), c.finish();
       },
       {O::Ok, O::Ok, O::LengthUnsupported, O::LengthUnsupported, O::LengthUnsupported},
       nullptr,
       false},
      {"a finished run takes nothing more",
       [&](Calls& c) { c.init("right"), c.update(plain), c.finish(), c.update(head), c.finish(); },
       {O::Ok, O::Ok, O::Ok, O::InvalidArgument, O::InvalidArgument},
       &cipher,
       false},
      {"a wipe ends the run, twice as once",
       [&](Calls& c) {
         c.init("right"), c.update(head), c.cipher->wipe(), c.cipher->wipe(), c.update(rest),
             c.finish();
       },
       {O::Ok, O::Ok, O::InvalidArgument, O::InvalidArgument},
       nullptr,
       false},
      {"a new run after a failure and a wipe",
       [&](Calls& c) {
         c.init("wrong", Direction::Decrypt), c.update(cipher), c.finish(), c.cipher->wipe(),
             c.made = 0, c.init("right", Direction::Decrypt), c.update(cipher), c.finish();
       },
       {O::Ok, O::Ok, O::CipherFailed, O::Ok, O::Ok, O::Ok},
       &plain,
       false},
      {"no calls before init",
       [&](Calls& c) { c.update(head), c.finish(); },
       {O::InvalidArgument, O::InvalidArgument},
       nullptr,
       false},
      {"a run in progress holds its keys",
       [&](Calls& c) { c.init("right"), c.update(head); },
       {O::Ok, O::Ok},
       nullptr,
       true},
      {"a direction or schedule out of range",
       [&](Calls& c) {
         c.init("right", static_cast<Direction>(2)),
             c.init("right", Direction::Encrypt, static_cast<KeySchedule>(0)), c.update(head);
       },
       {O::InvalidArgument, O::InvalidArgument, O::InvalidArgument},
       nullptr,
       false},
      {"null pointers with a length",
       [&](Calls& c) {
         std::size_t written = 0;
         c.outcomes.push_back(c.cipher->init(nullptr, 1, Direction::Encrypt, KeySchedule::Single));
         c.init("right");
         c.outcomes.push_back(c.cipher->update(nullptr, 1, c.output.data(), kChunkSize, written));
         c.outcomes.push_back(c.cipher->update(head.data(), 1, nullptr, kChunkSize, written));
         c.outcomes.push_back(c.cipher->finish(nullptr, 16, written));
       },
       {O::InvalidArgument, O::Ok, O::InvalidArgument, O::InvalidArgument, O::InvalidArgument},
       nullptr,
       true},
  };
  for (const Case& c : cases) {
    Calls calls;
    c.calls(calls);
    EXPECT_EQ(calls.outcomes, c.outcomes) << c.name;
    const Bytes output(calls.output.begin(), calls.output.begin() + calls.made);
    EXPECT_EQ(output, c.output != nullptr ? *c.output : Bytes()) << c.name;
    EXPECT_EQ(calls.keys_set(), c.keys_left) << c.name;
  }
}

TEST(IncrementalCipherTest, PlacedInTheCallersMemory) {
  auto memory = std::make_unique<std::byte[]>(IncrementalCipher::stream_size() + 64);
  std::byte* const aligned =
      memory.get() + (64 - reinterpret_cast<std::uintptr_t>(memory.get()) % 64) % 64;
  EXPECT_EQ(IncrementalCipher::place(aligned, IncrementalCipher::stream_size() - 1), nullptr);
  EXPECT_EQ(IncrementalCipher::place(aligned + 1, IncrementalCipher::stream_size()), nullptr);
  EXPECT_EQ(IncrementalCipher::place(nullptr, IncrementalCipher::stream_size()), nullptr);
  IncrementalCipher* const cipher =
      IncrementalCipher::place(aligned, IncrementalCipher::stream_size());
  ASSERT_NE(cipher, nullptr);
  const Bytes plain = testsupport::pattern(100);
  Bytes output(kChunkSize + cryptcore::kFinishCapacity);
  std::size_t written = 0;
  std::size_t tail = 0;
  EXPECT_EQ(cipher->init("right", 5, Direction::Encrypt, KeySchedule::Single), Outcome::Ok);
  EXPECT_EQ(cipher->update(plain.data(), plain.size(), output.data(), kChunkSize, written),
            Outcome::Ok);
  EXPECT_EQ(cipher->finish(output.data() + written, 112, tail), Outcome::Ok);
  output.resize(written + tail);
  EXPECT_EQ(output, run_stream("right", false, KeySchedule::Single, plain).output);
  cipher->~IncrementalCipher();
}

}  // namespace
