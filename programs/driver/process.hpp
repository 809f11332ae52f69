// SPDX-License-Identifier: Apache-2.0
// What the programs do to their own process, which differs per platform
// (process_linux.cpp, process_windows.cpp): keep the keys out of reach, blank
// the command line, and take the output back when the run is stopped from
// outside.
#pragma once

#include "cryptcore/file_cipher.hpp"

namespace cryptdriver {

// Keeps the keys the process is about to hold out of core and crash dumps and
// out of reach of the user's other processes, as far as a process of a normal
// user can do that itself. Called first, before any argument is looked at.
void harden_process();

// Makes whatever stops the process from outside in the middle of a run (a
// signal on POSIX; Ctrl-C, Ctrl-Break, the console closing on Windows) take
// back the unfinished output of the run in `workspace` first, and then end
// the process as it would have ended, so that its caller sees it. On POSIX a
// closed pipe or the file-size limit then fails the write instead of killing
// the process, so that the output can be taken back.
void take_output_back_when_stopped(cryptcore::CipherWorkspace& workspace);

// Blanks the copies of the command line that the process keeps beside argv
// (on Windows the process's own and the C runtime's). On POSIX argv is the one
// the process list shows, and the caller blanks it.
void blank_command_line();

// Overwrites with spaces everything after the program name in a Windows
// command line, so that the passphrase is gone from it whatever quoting its
// arguments use; null is left alone. The program name ends, as the C runtime
// reads it, at the first space or tab outside double quotes. The arguments
// were already parsed into argv, which this does not touch.
template <typename Char>
void blank_arguments(Char* command_line) {
  if (command_line == nullptr) {
    return;
  }
  Char* at = command_line;
  for (bool quoted = false; *at != Char('\0'); ++at) {
    if (*at == Char('"')) {
      quoted = !quoted;
    } else if (!quoted && (*at == Char(' ') || *at == Char('\t'))) {
      break;
    }
  }
  for (; *at != Char('\0'); ++at) {
    *at = Char(' ');
  }
}

}  // namespace cryptdriver
