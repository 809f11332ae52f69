// SPDX-License-Identifier: Apache-2.0
#include "driver.hpp"

#if defined(CRYPTCORE_PROVIDER_OPENSSL)
#include <openssl/crypto.h>
#endif

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "cryptcore/file_cipher.hpp"
#include "cryptcore/secret_bytes.hpp"
#include "crypto/secure_wipe.hpp"
#include "exit_status.hpp"
#include "process.hpp"

namespace cryptdriver {

namespace {

constexpr char kDecryptMode = 'd';

// One run per process: its workspace (the stream, its buffers and the ring of
// a long run) lives in static storage. It is never destroyed: the handler of
// a signal that comes while the process exits looks at it too, to let the
// status 0 of a complete run stand.
alignas(cryptcore::CipherWorkspace) std::byte workspace_storage[sizeof(cryptcore::CipherWorkspace)];
cryptcore::CipherWorkspace& workspace =
    *::new (static_cast<void*>(workspace_storage)) cryptcore::CipherWorkspace;

}  // namespace

int run_program(int argc, char** argv, cryptcore::KeySchedule schedule) {
  harden_process();
  if (argc < 4 || argv[1][0] == '\0') {
    return ExitUsage;
  }
  take_output_back_when_stopped(workspace);
#if defined(CRYPTCORE_PROVIDER_OPENSSL)
  // The programs take no configuration and need only the built-in SHA-1 and
  // AES-256-CBC: reading the system's OpenSSL configuration and freeing the
  // library's tables at exit cost over a quarter of a short run, and change
  // no byte. (The library leaves this choice to the program that embeds it.)
  if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr) != 1) {
    return ExitCipherFailed;
  }
#endif

  const cryptcore::Direction direction =
      argv[1][0] == kDecryptMode ? cryptcore::Direction::Decrypt : cryptcore::Direction::Encrypt;
  char* const passphrase_arg = argv[1] + 1;
  auto passphrase = std::make_unique<cryptcore::SecretBytes>(passphrase_arg);
  // Blank the argument so the process list stops showing the passphrase.
  cryptcore::secure_wipe(passphrase_arg, std::strlen(passphrase_arg));
  blank_command_line();

  return exit_status_for(cryptcore::crypt_file(workspace, std::move(passphrase), direction,
                                               schedule, argv[2], argv[3]));
}

}  // namespace cryptdriver
