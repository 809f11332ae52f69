// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes through the decryption of the incremental cipher, in any
// pieces (input layout: fuzz_stream.hpp).
//
// Checked: no crash and no access out of bounds (ASan, UBSan); the pieces
// give the bytes and outcome of one call; the result is success or
// CipherFailed (decryption never reports LengthUnsupported); a ciphertext
// that is not whole blocks always fails; a success removes exactly the
// padding the format allows, and encrypting what came out, in the same
// pieces, gives the ciphertext back byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_stream.hpp"

using cryptcore::kAesBlockSize;
using cryptcore::kChunkSize;
using fuzzsupport::Direction;
using fuzzsupport::Outcome;
using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzsupport::Plan plan = fuzzsupport::plan_of(data, size);
  const auto ciphertext = fuzzsupport::input_of(plan);

  fuzzsupport::Run& decrypted = fuzzsupport::run_both_ways(plan, Direction::Decrypt, ciphertext);
  require(decrypted.outcome == Outcome::Ok || decrypted.outcome == Outcome::CipherFailed,
          "decryption reported a status other than success or CipherFailed");
  if (ciphertext.size() % kAesBlockSize != 0) {
    require(decrypted.outcome == Outcome::CipherFailed,
            "a ciphertext that is not whole blocks was accepted");
  }
  if (decrypted.outcome != Outcome::Ok) {
    return 0;
  }

  // Only a short last chunk carries padding: 1 to 16 bytes per pass, and
  // every pass but the innermost pads a whole-block input with a full block.
  const std::size_t removed = ciphertext.size() - decrypted.size;
  const std::size_t passes = cryptcore::pass_count(plan.schedule);
  if (ciphertext.size() % kChunkSize == 0) {
    require(removed == 0, "a whole-chunk ciphertext lost bytes");
  } else {
    require(removed >= kAesBlockSize * (passes - 1) + 1 && removed <= kAesBlockSize * passes,
            "decryption removed more or less than the padding");
  }

  static fuzzsupport::Run again;
  fuzzsupport::run(plan, Direction::Encrypt, decrypted.output(),
                   std::span(plan.piece_lengths.data(), plan.pieces), again);
  require(again.outcome == Outcome::Ok, "what decrypted does not encrypt again");
  require(again.size == ciphertext.size() &&
              (ciphertext.empty() ||
               std::memcmp(again.buffer.data(), ciphertext.data(), ciphertext.size()) == 0),
          "encrypting what decrypted does not give the ciphertext");
  return 0;
}
