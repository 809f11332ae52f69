// SPDX-License-Identifier: Apache-2.0
// The command line shared by both programs:
//   <program> <mode><passphrase> <input> <output>
// The mode byte 'd' decrypts, any other byte encrypts. Nothing is printed; the
// exit status (exit_status.hpp) is the only report.
#pragma once

#include "cryptcore/file_cipher.hpp"

namespace cryptdriver {

int run_program(int argc, char** argv, cryptcore::KeySchedule schedule);

}  // namespace cryptdriver
