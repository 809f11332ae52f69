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

StreamRun run_stream(std::string_view passphrase, bool decrypt, cryptcore::KeySchedule schedule,
                     std::span<const std::uint8_t> input) {
  using cryptcore::kChunkSize;
  using cryptcore::YieldCode;
  auto stream = std::make_unique<cryptcore::CipherStream>();
  auto buffers = std::make_unique<std::array<std::uint8_t, kChunkSize>[]>(2);
  StreamRun run;
  EXPECT_TRUE(stream->init(passphrase, decrypt, schedule));
  stream->attach(buffers[0], buffers[1]);
  std::size_t consumed = 0;
  for (;;) {
    const YieldCode code = stream->resume();
    run.events.push_back(code);
    if (code == YieldCode::NeedInput) {
      const std::size_t length = std::min(kChunkSize, input.size() - consumed);
      std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(consumed), length,
                  buffers[0].begin());
      consumed += length;
      stream->fill_input(length);
      continue;
    }
    const std::span<const std::uint8_t> produced = stream->take_output();
    if (code == YieldCode::Finished) {
      run.failure = stream->failure();
      if (run.failure == cryptcore::StreamFailure::None) {
        run.output.insert(run.output.end(), produced.begin(), produced.end());
      }
      return run;
    }
    run.output.insert(run.output.end(), produced.begin(), produced.end());
  }
}

}  // namespace testsupport
