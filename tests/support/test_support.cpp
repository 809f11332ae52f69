// SPDX-License-Identifier: Apache-2.0
#include "test_support.hpp"

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

namespace testsupport {

Bytes from_hex(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
  std::string hex;
  for (std::uint8_t byte : reference_digest(Digest::Sha256, bytes)) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  return hex;
}

Bytes pattern(std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i % 251);
  }
  return bytes;
}

std::filesystem::path own_temp_folder(const char* name) {
#if defined(_WIN32)
  const unsigned long id = GetCurrentProcessId();
#else
  const long id = ::getpid();
#endif
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / (std::string(name) + "." + std::to_string(id));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

std::vector<std::vector<std::string>> read_tsv(const std::string& name) {
  std::ifstream file(std::string(CRYPTCORE_TEST_DATA_DIR) + "/" + name);
  EXPECT_TRUE(file.is_open()) << name;
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::vector<std::string> fields;
    std::stringstream cells(line);
    for (std::string field; std::getline(cells, field, '\t');) {
      fields.push_back(field);
    }
    if (!line.empty() && line.back() == '\t') {
      fields.emplace_back();
    }
    rows.push_back(fields);
  }
  return rows;
}

Bytes encrypt_with_recorded_keys(const std::vector<std::string>& keys_row,
                                 cryptcore::KeySchedule schedule,
                                 std::span<const std::uint8_t> plaintext) {
  Bytes bytes = reference_encrypt(from_hex(keys_row[1]), from_hex(keys_row[2]), plaintext, true);
  if (schedule == cryptcore::KeySchedule::Cascade) {
    bytes = reference_encrypt(from_hex(keys_row[3]), from_hex(keys_row[4]), bytes, true);
  }
  return bytes;
}

StreamRun run_stream(std::string_view passphrase, bool decrypt, cryptcore::KeySchedule schedule,
                     std::span<const std::uint8_t> input, std::span<const std::size_t> pieces) {
  using cryptcore::IncrementalCipher;
  using cryptcore::Outcome;
  auto cipher = std::make_unique<IncrementalCipher>();
  StreamRun run;
  const auto failure_of = [](Outcome outcome) {
    EXPECT_TRUE(outcome == Outcome::Ok || outcome == Outcome::CipherFailed ||
                outcome == Outcome::LengthUnsupported);
    return outcome == Outcome::Ok                  ? cryptcore::StreamFailure::None
           : outcome == Outcome::LengthUnsupported ? cryptcore::StreamFailure::LengthUnsupported
                                                   : cryptcore::StreamFailure::CipherFailed;
  };
  EXPECT_EQ(cipher->init(passphrase.data(), passphrase.size(),
                         decrypt ? cryptcore::Direction::Decrypt : cryptcore::Direction::Encrypt,
                         schedule),
            Outcome::Ok);
  Bytes output(IncrementalCipher::update_capacity(input.size()) + cryptcore::kFinishCapacity);
  std::size_t consumed = 0;
  std::size_t made = 0;
  for (std::size_t piece = 0; piece <= pieces.size(); ++piece) {
    const std::size_t left = input.size() - consumed;
    const std::size_t length = piece < pieces.size() ? std::min(pieces[piece], left) : left;
    std::size_t written = 0;
    const Outcome outcome = cipher->update(input.data() + consumed, length, output.data() + made,
                                           IncrementalCipher::update_capacity(length), written);
    if (outcome != Outcome::Ok) {
      run.failure = failure_of(outcome);
      return run;
    }
    consumed += length;
    made += written;
  }
  std::size_t written = 0;
  run.failure =
      failure_of(cipher->finish(output.data() + made, cryptcore::kFinishCapacity, written));
  if (run.failure == cryptcore::StreamFailure::None) {
    output.resize(made + written);
    run.output = std::move(output);
  }
  return run;
}

}  // namespace testsupport
