// SPDX-License-Identifier: Apache-2.0
#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>

#include "process.hpp"

namespace cryptdriver {

namespace {

// The signals that end a run from outside.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

cryptcore::CipherWorkspace* stopped_workspace = nullptr;

void end_run(int signal_number) {
  cryptcore::discard_unfinished_output(*stopped_workspace);
  // SA_RESETHAND has restored the default action, and the signal stays
  // blocked until this handler returns: then it ends the process, so the
  // caller sees the signal, not an exit status.
  std::raise(signal_number);
}

}  // namespace

// The process holds the AES keys, and without a salt a key opens every file
// made with the same passphrase: no core dump may write it to disk, and no
// other process of the same user may attach to read it.
void harden_process() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit no_core {};
  setrlimit(RLIMIT_CORE, &no_core);
}

// A run stopped by a signal takes back its partial output first: cut at a
// chunk boundary, it would decrypt without complaint to a truncated plaintext.
void take_output_back_when_stopped(cryptcore::CipherWorkspace& workspace) {
  stopped_workspace = &workspace;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
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

void blank_command_line() {}

}  // namespace cryptdriver
