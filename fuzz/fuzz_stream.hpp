// SPDX-License-Identifier: Apache-2.0
// Shared by the fuzz targets: how an input names its run, and runs of the
// incremental cipher over a few fixed passphrases whose keys are derived
// once per process, so that an input costs its bytes and not a key schedule.
//
// Input layout: byte 0 picks the schedule (bit 0: cascade), the passphrase
// (bits 1-2: one of kPassphrases) and how many split points cut the input
// into update() calls (bits 3-5: 0 to 7; bits 6-7 are ignored); byte 1 asks
// for a long input (see plan_of(): up to three whole chunks before the tail,
// and a tail stretched to just under a chunk); then two bytes per split point, each the length of
// one update() call (little-endian; the last call takes the rest); then the bytes: the tail, which
// the leading chunks (and a stretched tail) repeat, so that a small input reaches the multi-chunk
// paths.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "format/incremental_state.hpp"

namespace fuzzsupport {

using cryptcore::Direction;
using cryptcore::IncrementalCipher;
using cryptcore::KeySchedule;
using cryptcore::Outcome;

// Stops the fuzzer with a message: libFuzzer saves the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void require(bool condition, const char* what) {
  if (!condition) {
    fail(what);
  }
}

// Takes bytes off the front of the fuzzer's input.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}
  std::uint8_t byte() {
    if (rest_.empty()) {
      return 0;
    }
    const std::uint8_t b = rest_[0];
    rest_ = rest_.subspan(1);
    return b;
  }
  std::span<const std::uint8_t> rest() const { return rest_; }

 private:
  std::span<const std::uint8_t> rest_;
};

// The passphrases an input can pick: empty, plain, with a zero byte inside,
// and the longest the programs are commonly given.
inline constexpr std::array<std::string_view, 4> kPassphrases = {
    std::string_view(), std::string_view("secret"), std::string_view("s\0cret", 6),
    std::string_view("a passphrase of forty bytes, 0123456789")};

inline constexpr std::size_t kMaxSplits = 7;

// What an input asks for.
struct Plan {
  KeySchedule schedule = KeySchedule::Single;
  std::size_t passphrase = 0;
  std::size_t pieces = 0;
  std::array<std::size_t, kMaxSplits> piece_lengths{};
  std::span<const std::uint8_t> bytes;
  std::size_t leading_chunks = 0;
  std::size_t tail_length = 0;
};

inline Plan plan_of(const std::uint8_t* data, std::size_t size) {
  Reader reader(data, size);
  Plan plan;
  const std::uint8_t control = reader.byte();
  plan.schedule = (control & 1) != 0 ? KeySchedule::Cascade : KeySchedule::Single;
  plan.passphrase = (control >> 1) & 3;
  plan.pieces = (control >> 3) & 7;
  const std::uint8_t long_input = reader.byte();
  for (std::size_t i = 0; i < plan.pieces; ++i) {
    plan.piece_lengths[i] = reader.byte();
    plan.piece_lengths[i] |= static_cast<std::size_t>(reader.byte()) << 8;
  }
  plan.bytes = reader.rest();
  plan.tail_length = plan.bytes.size();
  // Whole chunks and tails near a chunk cost far more than the rest of an
  // input (the cipher runs over them several times), so few inputs have
  // them: only where byte 1 asks for them and a hash of the whole input is a
  // multiple of 16, which almost any mutation undoes. Most inputs stay fast,
  // while every chunk boundary, a chunk between two others and the longest
  // tails, refused or not, are in reach.
  std::uint32_t hash = 2166136261U;
  for (std::size_t i = 0; i < size; ++i) {
    hash = (hash ^ data[i]) * 16777619U;
  }
  if ((long_input & 0xF0) == 0xF0 && hash % 16 == 0) {
    plan.leading_chunks = long_input & 3;
    if ((long_input & 4) != 0) {
      plan.tail_length = cryptcore::kChunkSize - 1 - plan.bytes.size() % 64;
    }
  }
  return plan;
}

// Bytes kept from one input to the next, grown only to the largest one and
// never cleared, so that an input pays for no allocation or zeroing.
class Buffer {
 public:
  std::uint8_t* reserve(std::size_t size) {
    if (size > capacity_) {
      bytes_.reset(new std::uint8_t[size]);
      capacity_ = size;
    }
    return bytes_.get();
  }
  std::uint8_t* data() { return bytes_.get(); }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t capacity_ = 0;
};

// Fills `length` bytes at `out` with `pattern` over and over (zero bytes if
// it is empty), in a few doubling copies rather than one per byte.
inline void repeat_into(std::uint8_t* out, std::size_t length,
                        std::span<const std::uint8_t> pattern) {
  if (length == 0) {
    return;
  }
  if (pattern.empty()) {
    std::memset(out, 0, length);
    return;
  }
  std::size_t filled = std::min(pattern.size(), length);
  std::memcpy(out, pattern.data(), filled);
  for (; filled < length; filled *= 2) {
    std::memcpy(out + filled, out, std::min(filled, length - filled));
  }
}

// The input of a plan: the leading chunks, then the tail, each its bytes
// repeated to length.
inline std::span<const std::uint8_t> input_of(const Plan& plan) {
  static Buffer input;
  const std::size_t lead = plan.leading_chunks * cryptcore::kChunkSize;
  std::uint8_t* const bytes = input.reserve(lead + plan.tail_length);
  repeat_into(bytes, lead, plan.bytes);
  repeat_into(bytes + lead, plan.tail_length, plan.bytes);
  return {bytes, lead + plan.tail_length};
}

// A cipher with the keys of one passphrase and schedule, derived once.
inline const cryptcore::IncrementalState& keyed(std::size_t passphrase, KeySchedule schedule) {
  static const auto states = [] {
    auto made =
        std::make_unique<std::array<cryptcore::IncrementalState, 2 * kPassphrases.size()>>();
    for (std::size_t i = 0; i < made->size(); ++i) {
      const KeySchedule each = i % 2 == 0 ? KeySchedule::Single : KeySchedule::Cascade;
      require((*made)[i].init(kPassphrases[i / 2], Direction::Encrypt, each) == Outcome::Ok,
              "the provider could not set keys");
    }
    return made;
  }();
  return (*states)[2 * passphrase + (schedule == KeySchedule::Cascade ? 1 : 0)];
}

struct Run {
  Outcome outcome = Outcome::Ok;
  Buffer buffer;
  std::size_t size = 0;

  std::span<const std::uint8_t> output() { return {buffer.data(), size}; }
};

// One run over `input` in the given pieces (none: one call), checking each
// call's side of the contract: a room one byte short changes nothing, no
// update() writes more than its room or anything but whole chunks, and no
// failure gives output.
inline void run(const Plan& plan, Direction direction, std::span<const std::uint8_t> input,
                std::span<const std::size_t> pieces, Run& result) {
  static cryptcore::IncrementalState cipher;
  require(cipher.init_with_keys_of(keyed(plan.passphrase, plan.schedule), direction) == Outcome::Ok,
          "the keys could not be copied");
  std::uint8_t* const out = result.buffer.reserve(IncrementalCipher::update_capacity(input.size()) +
                                                  cryptcore::kFinishCapacity);
  std::size_t made = 0;
  std::size_t consumed = 0;
  const auto end = [&](Outcome outcome) {
    result.outcome = outcome;
    result.size = made;
  };
  for (std::size_t piece = 0; piece <= pieces.size(); ++piece) {
    const std::size_t left = input.size() - consumed;
    const std::size_t length = piece < pieces.size() ? std::min(pieces[piece], left) : left;
    const std::size_t room = IncrementalCipher::update_capacity(length);
    std::size_t written = 1;
    if (room != 0) {
      require(cipher.update(input.data() + consumed, length, out + made, room - 1, written) ==
                      Outcome::OutputTooSmall &&
                  written == 0,
              "an update with too little room did not fail cleanly");
    }
    const Outcome outcome =
        cipher.update(input.data() + consumed, length, out + made, room, written);
    if (outcome != Outcome::Ok) {
      require(written == 0, "a failed update gave output");
      return end(outcome);
    }
    require(written <= room && written % cryptcore::kChunkSize == 0,
            "an update gave more than its room or a part of a chunk");
    consumed += length;
    made += written;
  }
  std::size_t written = 1;
  Outcome outcome = cipher.finish(out + made, 0, written);
  if (outcome == Outcome::OutputTooSmall) {
    require(written == 0, "a finish with no room gave output");
    outcome = cipher.finish(out + made, cryptcore::kFinishCapacity, written);
  }
  require(outcome == Outcome::Ok || written == 0, "a failed finish gave output");
  std::size_t after = 1;
  require(cipher.finish(out + made, cryptcore::kFinishCapacity, after) ==
                  (outcome == Outcome::Ok ? Outcome::InvalidArgument : outcome) &&
              after == 0,
          "a finished run did not stay finished, or a failure did not stick");
  made += outcome == Outcome::Ok ? written : 0;
  end(outcome);
}

// The run of a plan in one call and in its pieces: both must give the same
// outcome and bytes, which are returned.
inline Run& run_both_ways(const Plan& plan, Direction direction,
                          std::span<const std::uint8_t> input) {
  static Run whole;
  static Run split;
  run(plan, direction, input, {}, whole);
  run(plan, direction, input, std::span(plan.piece_lengths.data(), plan.pieces), split);
  require(split.outcome == whole.outcome, "a split input ended otherwise than one call");
  require(split.size == whole.size &&
              (whole.size == 0 ||
               std::memcmp(split.buffer.data(), whole.buffer.data(), whole.size) == 0),
          "a split input gave other bytes than one call");
  return whole;
}

}  // namespace fuzzsupport
