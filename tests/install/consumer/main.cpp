// SPDX-License-Identifier: Apache-2.0
// Encrypts with the installed library, as an embedding program would:
//   consumer <passphrase> <input> <output>  <stream-input >stream-output
// encrypts the file <input> into <output> with the single key schedule, and
// its standard input into its standard output with the cascade.
#include <unistd.h>

#include <cryptcore/file_cipher.hpp>
#include <cstdio>

namespace {

// The cascade's stream and buffers, in static storage as the programs keep theirs.
cryptcore::CipherWorkspace workspace;

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
  return 0;
}
