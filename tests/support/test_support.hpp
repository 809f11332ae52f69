// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the unit tests: test data, hex, and an in-memory driver.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cryptcore/incremental_cipher.hpp"
#include "format/cipher_stream.hpp"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

Bytes from_hex(std::string_view hex);
std::string sha256_hex(std::span<const std::uint8_t> bytes);
// The plaintext of the file vectors: byte i is i mod 251.
Bytes pattern(std::size_t length);
// The rows of a tab-separated file in tests/data, without comment lines.
std::vector<std::vector<std::string>> read_tsv(const std::string& name);
// A new, empty folder in the temporary folder, named `name` and this
// process's ID, so that suites that run at once on one machine keep apart.
std::filesystem::path own_temp_folder(const char* name);

// The platform's crypto library called directly, in one call each (OpenSSL's
// libcrypto, or CNG on Windows): the references the binding is checked
// against, its padding and chaining among them.
enum class Digest { Sha1, Sha256 };
Bytes reference_digest(Digest digest, std::span<const std::uint8_t> bytes);
// AES-256-CBC, with PKCS #5 padding when `padding` is set.
Bytes reference_encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                        std::span<const std::uint8_t> plaintext, bool padding);

// What a row of keys.tsv makes of `plaintext` (shorter than a chunk) under
// `schedule`: a padded pass with key 1, then for the cascade one with key 2.
Bytes encrypt_with_recorded_keys(const std::vector<std::string>& keys_row,
                                 cryptcore::KeySchedule schedule,
                                 std::span<const std::uint8_t> plaintext);

struct StreamRun {
  Bytes output;
  cryptcore::StreamFailure failure = cryptcore::StreamFailure::None;
};

// Runs a fresh incremental cipher over `input`, handed over in pieces of the
// given lengths and then the rest, and returns all it gave back (nothing
// after a failure).
StreamRun run_stream(std::string_view passphrase, bool decrypt, cryptcore::KeySchedule schedule,
                     std::span<const std::uint8_t> input, std::span<const std::size_t> pieces = {});

}  // namespace testsupport
