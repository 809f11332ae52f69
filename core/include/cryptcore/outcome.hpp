// SPDX-License-Identifier: Apache-2.0
// How a whole run ended: the one report of every run, whether it goes through
// the programs (as their exit status) or through the library API, and the
// status of each call of the incremental cipher.
#pragma once

#include <cstdint>

namespace cryptcore {

enum class Outcome : std::uint8_t {
  Ok,
  InputOpenFailed,    // the input file could not be opened, or is a directory
  OutputOpenFailed,   // the output file could not be opened, or is the input
  ReadFailed,         // reading the input failed (not its end)
  WriteFailed,        // writing or closing the output failed
  CipherFailed,       // bad padding, ragged ciphertext, or no SHA-1 or AES-256-CBC
  LengthUnsupported,  // refused to encrypt: the last partial chunk is too long to pad
  InvalidArgument,    // a call the library cannot serve: nothing was opened or changed
  OutputTooSmall,     // an incremental call got too little output room: nothing changed
  Cancelled,          // a file run's progress callback said stop: the output was taken back
};

}  // namespace cryptcore
