#include "driver.hpp"

#include <openssl/crypto.h>

#include <array>
#include <csignal>
#include <cstring>
#include <memory>

#include "cryptcore/cipher_stream.hpp"
#include "cryptcore/secret_bytes.hpp"
#include "cryptcore/service_loop.hpp"
#include "exit_status.hpp"
#include "files.hpp"

namespace cryptdriver {

namespace {

constexpr char kDecryptMode = 'd';

// One run per process: the stream and both buffers live in static storage.
cryptcore::CipherStream stream;
alignas(64) std::array<std::uint8_t, cryptcore::kChunkSize> input_buffer;
alignas(64) std::array<std::uint8_t, cryptcore::kChunkSize> output_buffer;

}  // namespace

int run_program(int argc, char** argv, cryptcore::KeySchedule schedule) {
  if (argc < 4 || argv[1][0] == '\0') {
    return ExitUsage;
  }
  // A closed pipe or the file-size limit then fails the write instead of
  // killing the process, so the partial output can still be removed.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  const bool decrypt = argv[1][0] == kDecryptMode;
  char* const passphrase_arg = argv[1] + 1;
  auto passphrase = std::make_unique<cryptcore::SecretBytes>(passphrase_arg);
  // Blank the argument so the process list stops showing the passphrase.
  OPENSSL_cleanse(passphrase_arg, std::strlen(passphrase_arg));

  InputFile input;
  if (!input.open(argv[2])) {
    return ExitInputOpen;
  }
  OutputFile output;
  if (!output.open(argv[3], input)) {
    return ExitOutputOpen;
  }

  const bool keys_set = stream.init(passphrase->view(), decrypt, schedule);
  // The keys are all the run needs: the passphrase is wiped before any data moves.
  passphrase.reset();
  cryptcore::Outcome outcome =
      keys_set ? cryptcore::serve(stream, input.fd(), output.fd(), input_buffer, output_buffer)
               : cryptcore::Outcome::CipherFailed;
  stream.release();
  input.close();
  if (outcome == cryptcore::Outcome::Ok && !output.close()) {
    outcome = cryptcore::Outcome::WriteFailed;
  }
  if (outcome != cryptcore::Outcome::Ok) {
    output.discard();
  }
  return exit_status_for(outcome);
}

}  // namespace cryptdriver
