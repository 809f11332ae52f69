#include "driver.hpp"

#include <openssl/crypto.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <utility>

#include "cryptcore/file_cipher.hpp"
#include "cryptcore/secret_bytes.hpp"
#include "exit_status.hpp"

namespace cryptdriver {

namespace {

constexpr char kDecryptMode = 'd';

// One run per process: the stream and both buffers live in static storage.
cryptcore::CipherWorkspace workspace;

}  // namespace

int run_program(int argc, char** argv, cryptcore::KeySchedule schedule) {
  if (argc < 4 || argv[1][0] == '\0') {
    return ExitUsage;
  }
  // A closed pipe or the file-size limit then fails the write instead of
  // killing the process, so the partial output can still be removed.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  const cryptcore::Direction direction =
      argv[1][0] == kDecryptMode ? cryptcore::Direction::Decrypt : cryptcore::Direction::Encrypt;
  char* const passphrase_arg = argv[1] + 1;
  auto passphrase = std::make_unique<cryptcore::SecretBytes>(passphrase_arg);
  // Blank the argument so the process list stops showing the passphrase.
  OPENSSL_cleanse(passphrase_arg, std::strlen(passphrase_arg));

  return exit_status_for(cryptcore::crypt_file(workspace, std::move(passphrase), direction,
                                               schedule, argv[2], argv[3]));
}

}  // namespace cryptdriver
