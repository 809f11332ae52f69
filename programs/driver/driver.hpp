// SPDX-License-Identifier: Apache-2.0
// The command line shared by both programs:
//   <program> <mode><passphrase> <input> <output>
// The mode byte 'd' decrypts, any other byte encrypts. Nothing is printed; the
// exit status (exit_status.hpp) is the only report.
#pragma once

#include "cryptcore/file_cipher.hpp"

namespace cryptdriver {

int run_program(int argc, char** argv, cryptcore::KeySchedule schedule);

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
