// SPDX-License-Identifier: Apache-2.0
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>

#include "process.hpp"

namespace cryptdriver {

namespace {

// The signals that end a run from outside: every one whose default action
// ends the process and that a handler may catch, but SIGPIPE and SIGXFSZ,
// which are ignored so that the write fails instead, and the signals of a
// fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT). A fault
// leaves the process in a state no cleanup can trust, whose memory could
// name the wrong file to remove: those keep their default action, even when
// another process sends them, as SIGKILL does.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGALRM,   SIGUSR1, SIGUSR2,
                                  SIGPOLL, SIGPROF, SIGVTALRM, SIGXCPU, SIGSTKFLT, SIGPWR};

cryptcore::CipherWorkspace* stopped_workspace = nullptr;

// The signals above and the real-time ones, which all end the process too.
template <typename Action>
void for_each_ending_signal(Action action) {
  for (const int signal_number : kEndingSignals) {
    action(signal_number);
  }
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    action(signal_number);
  }
}

void end_run(int signal_number) {
  const int saved_errno = errno;
  if (cryptcore::discard_unfinished_output(*stopped_workspace) == cryptcore::RunOutput::Complete) {
    // The output is whole and the process about to exit 0: that stands, and
    // the signal is dropped, so that a caller never sees a failure beside a
    // whole output.
    errno = saved_errno;
    return;
  }
  // The default action, for the signal raised here: it stays blocked until
  // this handler returns, and then ends the process, so the caller sees the
  // signal, not an exit status.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  std::raise(signal_number);
  // Whatever the handler's calls did to errno is undone before the signal
  // takes effect, as for any handler that returns.
  errno = saved_errno;
}

}  // namespace

// The process holds the AES keys, and without a salt a key opens every file
// made with the same passphrase: no core dump may write it to disk, and no
// other process of the same user may attach to read it. The kernel dumps no
// core of a process that is not dumpable, not even to a core_pattern pipe,
// which ignores the core size limit.
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
  // A handler that finds the output complete returns: the call it interrupted
  // goes on.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for_each_ending_signal([&](int signal_number) { sigaddset(&action.sa_mask, signal_number); });
  for_each_ending_signal([&](int signal_number) {
    struct sigaction current {};
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaction(signal_number, &action, nullptr);
    }
  });
}

void blank_command_line() {}

}  // namespace cryptdriver
