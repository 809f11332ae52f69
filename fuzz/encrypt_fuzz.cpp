// SPDX-License-Identifier: Apache-2.0
// Encryption of arbitrary plaintexts through the incremental cipher, in any
// pieces (input layout: fuzz_stream.hpp).
//
// Checked: no crash and no access out of bounds (ASan, UBSan); the pieces
// give the bytes and outcome of one call; encryption is refused
// (LengthUnsupported) exactly where encrypted_size() refuses the length and
// otherwise succeeds with that many bytes; decrypting them, in the same
// pieces, gives the plaintext back.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_stream.hpp"

using fuzzsupport::Direction;
using fuzzsupport::Outcome;
using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzsupport::Plan plan = fuzzsupport::plan_of(data, size);
  const auto plaintext = fuzzsupport::input_of(plan);

  fuzzsupport::Run& encrypted = fuzzsupport::run_both_ways(plan, Direction::Encrypt, plaintext);
  const auto expected_size =
      fuzzsupport::IncrementalCipher::encrypted_size(plaintext.size(), plan.schedule);
  if (!expected_size) {
    require(encrypted.outcome == Outcome::LengthUnsupported,
            "a last chunk too long to pad was not refused");
    return 0;
  }
  require(encrypted.outcome == Outcome::Ok, "encryption of a supported length failed");
  require(encrypted.size == *expected_size, "the ciphertext length is not encrypted_size()");

  static fuzzsupport::Run decrypted;
  fuzzsupport::run(plan, Direction::Decrypt, encrypted.output(),
                   std::span(plan.piece_lengths.data(), plan.pieces), decrypted);
  require(decrypted.outcome == Outcome::Ok, "a fresh ciphertext did not decrypt");
  require(decrypted.size == plaintext.size() &&
              (plaintext.empty() ||
               std::memcmp(decrypted.buffer.data(), plaintext.data(), plaintext.size()) == 0),
          "the round trip changed the plaintext");
  return 0;
}
