// SPDX-License-Identifier: Apache-2.0
// Encryption of arbitrary lengths with both key schedules.
//
// Input: byte 0 picks the schedule (bit 0: cascade); bytes 1 to 3 give the
// plaintext length (little-endian, modulo four chunks and one byte, so every
// boundary up to three whole chunks and a partial one is in reach); byte 4
// and the bytes after it give the passphrase (passphrase_from); the rest,
// repeated, is the plaintext.
//
// Checked: no crash and no access out of bounds (ASan, UBSan); encryption is
// refused (LengthUnsupported) exactly for the last partial chunks the README
// names and otherwise succeeds (never CipherFailed); the ciphertext has the
// documented length; it decrypts back to the plaintext.
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
  const KeySchedule schedule =
      (reader.byte() & 1) != 0 ? KeySchedule::Cascade : KeySchedule::Single;
  std::size_t length = reader.byte();
  length |= static_cast<std::size_t>(reader.byte()) << 8;
  length |= static_cast<std::size_t>(reader.byte()) << 16;
  length %= 4 * kChunkSize + 1;
  const std::string_view passphrase = fuzzsupport::passphrase_from(reader);
  const fuzzsupport::Bytes plaintext = fuzzsupport::repeat_to(reader.rest(), length);

  const std::size_t passes = cryptcore::pass_count(schedule);
  const std::size_t tail = length % kChunkSize;
  const std::size_t padded_tail =
      tail == 0 ? 0 : tail - tail % kAesBlockSize + kAesBlockSize * passes;
  const bool refused = padded_tail >= kChunkSize;

  const auto encrypted = fuzzsupport::run_stream(passphrase, false, schedule, plaintext);
  if (refused) {
    require(encrypted.failure == StreamFailure::LengthUnsupported,
            "a last chunk too long to pad was not refused");
    return 0;
  }
  require(encrypted.failure == StreamFailure::None, "encryption of a supported length failed");
  require(encrypted.output.size() == length - tail + padded_tail,
          "the ciphertext length is not the documented one");

  const auto decrypted = fuzzsupport::run_stream(passphrase, true, schedule, encrypted.output);
  require(decrypted.failure == StreamFailure::None, "a fresh ciphertext did not decrypt");
  require(decrypted.output == plaintext, "the round trip changed the plaintext");
  return 0;
}
