// SPDX-License-Identifier: Apache-2.0
// The C interface over IncrementalCipher and crypt_file(): each function checks
// what C cannot (null pointers, enums out of range), converts, and calls the
// C++ API, and no exception crosses into C.
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "cryptcore/cryptcore.h"
#include "cryptcore/file_cipher.hpp"
#include "cryptcore/incremental_cipher.hpp"

// A stream is the C++ incremental cipher, nothing more: the C type only
// names it.
struct cryptcore_stream {
  cryptcore::IncrementalCipher cipher;
};

namespace {

using cryptcore::Direction;
using cryptcore::KeySchedule;
using cryptcore::Outcome;

static_assert(alignof(cryptcore_stream) == 64, "the header promises 64-byte alignment");

// The enums arrive from C as plain numbers: they are read as such before
// anything trusts them.
std::optional<Direction> direction_of(cryptcore_direction direction) {
  switch (static_cast<int>(direction)) {
    case CRYPTCORE_ENCRYPT:
      return Direction::Encrypt;
    case CRYPTCORE_DECRYPT:
      return Direction::Decrypt;
    default:
      return std::nullopt;
  }
}

std::optional<KeySchedule> schedule_of(cryptcore_schedule schedule) {
  switch (static_cast<int>(schedule)) {
    case CRYPTCORE_SINGLE:
      return KeySchedule::Single;
    case CRYPTCORE_CASCADE:
      return KeySchedule::Cascade;
    default:
      return std::nullopt;
  }
}

cryptcore_status status_of(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok:
      return CRYPTCORE_OK;
    case Outcome::InputOpenFailed:
      return CRYPTCORE_INPUT_OPEN_FAILED;
    case Outcome::OutputOpenFailed:
      return CRYPTCORE_OUTPUT_OPEN_FAILED;
    case Outcome::ReadFailed:
      return CRYPTCORE_READ_FAILED;
    case Outcome::WriteFailed:
      return CRYPTCORE_WRITE_FAILED;
    case Outcome::CipherFailed:
      return CRYPTCORE_CIPHER_FAILED;
    case Outcome::LengthUnsupported:
      return CRYPTCORE_LENGTH_UNSUPPORTED;
    case Outcome::InvalidArgument:
      return CRYPTCORE_INVALID_ARGUMENT;
    case Outcome::OutputTooSmall:
      return CRYPTCORE_OUTPUT_TOO_SMALL;
    case Outcome::Cancelled:
      return CRYPTCORE_CANCELLED;
  }
  return CRYPTCORE_CIPHER_FAILED;
}

}  // namespace

extern "C" {

size_t cryptcore_stream_size(void) {
  return sizeof(cryptcore_stream);
}

cryptcore_status cryptcore_stream_init(cryptcore_stream** stream, void* memory, size_t memory_size,
                                       const uint8_t* passphrase, size_t passphrase_length,
                                       cryptcore_direction direction, cryptcore_schedule schedule) {
  if (stream == nullptr) {
    return CRYPTCORE_INVALID_ARGUMENT;
  }
  *stream = nullptr;
  const std::optional<Direction> known_direction = direction_of(direction);
  const std::optional<KeySchedule> known_schedule = schedule_of(schedule);
  if (!known_direction || !known_schedule || (passphrase == nullptr && passphrase_length != 0) ||
      cryptcore::IncrementalCipher::place(memory, memory_size) == nullptr) {
    return CRYPTCORE_INVALID_ARGUMENT;
  }
  // place() built the cipher at the start of the memory, which is where the
  // stream's only member lies.
  auto* built = std::launder(static_cast<cryptcore_stream*>(memory));
  const Outcome outcome = built->cipher.init(reinterpret_cast<const char*>(passphrase),
                                             passphrase_length, *known_direction, *known_schedule);
  if (outcome != Outcome::Ok) {
    built->cipher.wipe();
    return status_of(outcome);
  }
  *stream = built;
  return CRYPTCORE_OK;
}

size_t cryptcore_update_capacity(size_t input_length) {
  return cryptcore::IncrementalCipher::update_capacity(input_length);
}

cryptcore_status cryptcore_stream_update(cryptcore_stream* stream, const uint8_t* input,
                                         size_t input_length, uint8_t* output,
                                         size_t output_capacity, size_t* output_length) {
  if (output_length != nullptr) {
    *output_length = 0;
  }
  if (stream == nullptr || output_length == nullptr) {
    return CRYPTCORE_INVALID_ARGUMENT;
  }
  return status_of(
      stream->cipher.update(input, input_length, output, output_capacity, *output_length));
}

cryptcore_status cryptcore_stream_finish(cryptcore_stream* stream, uint8_t* output,
                                         size_t output_capacity, size_t* output_length) {
  if (output_length != nullptr) {
    *output_length = 0;
  }
  if (stream == nullptr || output_length == nullptr) {
    return CRYPTCORE_INVALID_ARGUMENT;
  }
  return status_of(stream->cipher.finish(output, output_capacity, *output_length));
}

void cryptcore_stream_wipe(cryptcore_stream* stream) {
  if (stream != nullptr) {
    stream->cipher.wipe();
  }
}

uint64_t cryptcore_encrypted_size(uint64_t plaintext_length, cryptcore_schedule schedule) {
  const std::optional<KeySchedule> known_schedule = schedule_of(schedule);
  if (!known_schedule) {
    return UINT64_MAX;
  }
  return cryptcore::IncrementalCipher::encrypted_size(plaintext_length, *known_schedule)
      .value_or(UINT64_MAX);
}

cryptcore_status cryptcore_crypt_file(const char* input_path, const char* output_path,
                                      const uint8_t* passphrase, size_t passphrase_length,
                                      cryptcore_direction direction, cryptcore_schedule schedule,
                                      cryptcore_progress progress, void* context) {
  const std::optional<Direction> known_direction = direction_of(direction);
  const std::optional<KeySchedule> known_schedule = schedule_of(schedule);
  if (!known_direction || !known_schedule || (passphrase == nullptr && passphrase_length != 0) ||
      input_path == nullptr || output_path == nullptr) {
    return CRYPTCORE_INVALID_ARGUMENT;
  }
  try {
    const std::unique_ptr<cryptcore::CipherWorkspace> workspace(new (std::nothrow)
                                                                    cryptcore::CipherWorkspace);
    if (!workspace) {
      return CRYPTCORE_OUT_OF_MEMORY;
    }
    auto secret = std::make_unique<cryptcore::SecretBytes>(
        std::string_view(reinterpret_cast<const char*>(passphrase), passphrase_length));
    cryptcore::ProgressCallback callback;
    if (progress != nullptr) {
      callback = [progress, context](std::uint64_t bytes_done) {
        return progress(context, bytes_done) == 0;
      };
    }
    return status_of(cryptcore::crypt_file(*workspace, std::move(secret), *known_direction,
                                           *known_schedule, input_path, output_path, callback));
  } catch (const std::bad_alloc&) {
    return CRYPTCORE_OUT_OF_MEMORY;
  }
}

const char* cryptcore_status_string(cryptcore_status status) {
  switch (static_cast<int>(status)) {
    case CRYPTCORE_OK:
      return "success";
    case CRYPTCORE_INVALID_ARGUMENT:
      return "invalid argument";
    case CRYPTCORE_INPUT_OPEN_FAILED:
      return "the input could not be opened";
    case CRYPTCORE_OUTPUT_OPEN_FAILED:
      return "the output could not be opened, or is the input";
    case CRYPTCORE_READ_FAILED:
      return "reading the input failed";
    case CRYPTCORE_WRITE_FAILED:
      return "writing the output failed";
    case CRYPTCORE_CIPHER_FAILED:
      return "wrong passphrase or damaged input (bad padding or ragged ciphertext)";
    case CRYPTCORE_LENGTH_UNSUPPORTED:
      return "the format cannot encrypt this length: its last chunk is too long to pad";
    case CRYPTCORE_OUTPUT_TOO_SMALL:
      return "the output room is too small";
    case CRYPTCORE_CANCELLED:
      return "cancelled by the progress callback";
    case CRYPTCORE_OUT_OF_MEMORY:
      return "out of memory";
    default:
      return "unknown status";
  }
}

const char* cryptcore_version(void) {
  return CRYPTCORE_VERSION_STRING;
}

}  // extern "C"
