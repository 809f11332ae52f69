// SPDX-License-Identifier: Apache-2.0
#include "driver.hpp"

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <corecrt_startup.h>
#else
#include <sys/prctl.h>
#include <sys/resource.h>
#endif
#if defined(CRYPTCORE_PROVIDER_OPENSSL)
#include <openssl/crypto.h>
#endif

#include <csignal>
#include <cstring>
#include <memory>
#include <utility>

#include "cryptcore/file_cipher.hpp"
#include "cryptcore/secret_bytes.hpp"
#include "exit_status.hpp"
#include "secure_wipe.hpp"

#if defined(_WIN32)
// The C runtime hands main the arguments as they are: no wildcard is expanded,
// or a passphrase with '*' or '?' in it would become the names of files.
extern "C" {
int _dowildcard = 0;
}
#endif

namespace cryptdriver {

namespace {

constexpr char kDecryptMode = 'd';

// One run per process: the stream and both buffers live in static storage.
cryptcore::CipherWorkspace workspace;

#if defined(_WIN32)
// Blanks every command-line buffer of the process it can reach (the ones the
// process list and the C runtime read), leaving the program name.
void blank_process_command_line() {
  blank_arguments(GetCommandLineA());
  blank_arguments(GetCommandLineW());
  // The C runtime may keep copies of its own (Wine's does).
  blank_arguments(*__p__acmdln());
  blank_arguments(*__p__wcmdln());
}
#else
// The signals that end a run from outside.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void end_run(int signal_number) {
  cryptcore::discard_unfinished_output(workspace);
  // SA_RESETHAND has restored the default action, and the signal stays
  // blocked until this handler returns: then it ends the process, so the
  // caller sees the signal, not an exit status.
  std::raise(signal_number);
}

// A run stopped by a signal takes back its partial output first: cut at a
// chunk boundary, it would decrypt without complaint to a truncated plaintext.
void take_output_back_on_signals() {
  struct sigaction action {};
  action.sa_handler = end_run;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kEndingSignals) {
    sigaddset(&action.sa_mask, signal_number);
  }
  for (const int signal_number : kEndingSignals) {
    struct sigaction current {};
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaction(signal_number, &action, nullptr);
    }
  }
}

// The process holds the AES keys, and without a salt a key opens every file
// made with the same passphrase: no core dump may write it to disk, and no
// other process of the same user may attach to read it.
void keep_keys_out_of_core_dumps() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit no_core {};
  setrlimit(RLIMIT_CORE, &no_core);
}
#endif

}  // namespace

int run_program(int argc, char** argv, cryptcore::KeySchedule schedule) {
#if !defined(_WIN32)
  keep_keys_out_of_core_dumps();
#endif
  if (argc < 4 || argv[1][0] == '\0') {
    return ExitUsage;
  }
#if !defined(_WIN32)
  // A closed pipe or the file-size limit then fails the write instead of
  // killing the process, so the partial output can still be removed.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  take_output_back_on_signals();
#endif
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
#if defined(_WIN32)
  blank_process_command_line();
#endif

  return exit_status_for(cryptcore::crypt_file(workspace, std::move(passphrase), direction,
                                               schedule, argv[2], argv[3]));
}

}  // namespace cryptdriver
