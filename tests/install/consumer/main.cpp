// SPDX-License-Identifier: Apache-2.0
// Encrypts with the installed library, as an embedding program would:
//   consumer <passphrase> <input> <output>  <stream-input >stream-output
// encrypts the file <input> into <output> with the single key schedule, and
// its standard input into its standard output with the cascade; then
// decrypts <output> in memory, in pieces, and checks that it gives <input>.
#include <unistd.h>

#include <algorithm>
#include <cryptcore/file_cipher.hpp>
#include <cryptcore/incremental_cipher.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

// The cascade's stream and buffers, in static storage as the programs keep theirs.
cryptcore::CipherWorkspace workspace;
cryptcore::IncrementalCipher cipher;

std::vector<std::uint8_t> contents(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Decrypts the file at `path` in pieces of 1,000 bytes.
std::vector<std::uint8_t> decrypted(const char* passphrase, const char* path) {
  const std::vector<std::uint8_t> input = contents(path);
  std::vector<std::uint8_t> output(input.size() + cryptcore::kFinishCapacity);
  std::size_t made = 0;
  std::size_t written = 0;
  bool ok = cipher.init(passphrase, std::strlen(passphrase), cryptcore::Direction::Decrypt,
                        cryptcore::KeySchedule::Single) == cryptcore::Outcome::Ok;
  for (std::size_t at = 0; ok && at < input.size(); at += 1000, made += written) {
    const std::size_t length = std::min<std::size_t>(1000, input.size() - at);
    ok = cipher.update(input.data() + at, length, output.data() + made,
                       cryptcore::IncrementalCipher::update_capacity(length),
                       written) == cryptcore::Outcome::Ok;
  }
  ok = ok && cipher.finish(output.data() + made, cryptcore::kFinishCapacity, written) ==
                 cryptcore::Outcome::Ok;
  output.resize(ok ? made + written : 0);
  return output;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <passphrase> <input> <output>\n", argv[0]);
    return 2;
  }
  const cryptcore::Outcome file = cryptcore::crypt_file(
      argv[1], cryptcore::Direction::Encrypt, cryptcore::KeySchedule::Single, argv[2], argv[3]);
  const cryptcore::Outcome stream =
      cryptcore::crypt_stream(workspace, argv[1], cryptcore::Direction::Encrypt,
                              cryptcore::KeySchedule::Cascade, STDIN_FILENO, STDOUT_FILENO);
  if (file != cryptcore::Outcome::Ok || stream != cryptcore::Outcome::Ok) {
    std::fprintf(stderr, "file outcome %d, stream outcome %d\n", static_cast<int>(file),
                 static_cast<int>(stream));
    return 1;
  }
  if (decrypted(argv[1], argv[3]) != contents(argv[2])) {
    std::fprintf(stderr, "the file does not decrypt in memory\n");
    return 1;
  }
  return 0;
}
