// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes through the decryption stream of both key schedules.
//
// Input: byte 0 picks the schedule (bit 0: cascade) and how many whole
// chunks lead the ciphertext (bits 1-2: 0 to 3); byte 1 and the bytes after
// it give the passphrase (passphrase_from); the rest is the tail of the
// ciphertext, and the leading chunks repeat it. So a small input reaches the
// multi-chunk paths.
//
// Checked: no crash and no access out of bounds (ASan, UBSan); the result is
// success or CipherFailed (decryption never reports LengthUnsupported); a
// ciphertext that is not whole blocks always fails; a success removes exactly
// the padding the format allows, and encrypting what came out gives the
// ciphertext back byte for byte.
#include <cstddef>
#include <cstdint>

#include "fuzz_stream.hpp"

using cryptcore::kAesBlockSize;
using cryptcore::kChunkSize;
using cryptcore::KeySchedule;
using cryptcore::StreamFailure;
using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Reader reader(data, size);
  const std::uint8_t control = reader.byte();
  const KeySchedule schedule = (control & 1) != 0 ? KeySchedule::Cascade : KeySchedule::Single;
  const std::size_t leading_chunks = (control >> 1) & 3;
  const std::string_view passphrase = fuzzsupport::passphrase_from(reader);
  const auto tail = reader.rest();

  fuzzsupport::Bytes ciphertext = fuzzsupport::repeat_to(tail, leading_chunks * kChunkSize);
  ciphertext.insert(ciphertext.end(), tail.begin(), tail.end());

  const auto decrypted = fuzzsupport::run_stream(passphrase, true, schedule, ciphertext);
  require(
      decrypted.failure == StreamFailure::None || decrypted.failure == StreamFailure::CipherFailed,
      "decryption reported a status other than success or CipherFailed");
  if (ciphertext.size() % kAesBlockSize != 0) {
    require(decrypted.failure == StreamFailure::CipherFailed,
            "a ciphertext that is not whole blocks was accepted");
  }
  if (decrypted.failure != StreamFailure::None) {
    return 0;
  }

  // Only a short last chunk carries padding: 1 to 16 bytes per pass, and
  // every pass but the innermost pads a whole-block input with a full block.
  const std::size_t removed = ciphertext.size() - decrypted.output.size();
  const std::size_t passes = cryptcore::pass_count(schedule);
  if (ciphertext.size() % kChunkSize == 0) {
    require(removed == 0, "a whole-chunk ciphertext lost bytes");
  } else {
    require(removed >= kAesBlockSize * (passes - 1) + 1 && removed <= kAesBlockSize * passes,
            "decryption removed more or less than the padding");
  }

  const auto again = fuzzsupport::run_stream(passphrase, false, schedule, decrypted.output);
  require(again.failure == StreamFailure::None, "what decrypted does not encrypt again");
  require(again.output == ciphertext, "encrypting what decrypted does not give the ciphertext");
  return 0;
}
