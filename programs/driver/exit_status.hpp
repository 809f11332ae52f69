// SPDX-License-Identifier: Apache-2.0
// The programs' exit statuses, and the one place that maps outcomes to them.
#pragma once

#include "cryptcore/outcome.hpp"

namespace cryptdriver {

enum ExitStatus : int {
  ExitOk = 0,
  ExitUsage = 1,              // fewer than three arguments, or an empty first one
  ExitInputOpen = 2,          // the input could not be opened (or is a directory)
  ExitOutputOpen = 3,         // the output could not be opened, or names the input
  ExitReadFailed = 4,         // reading the input failed
  ExitWriteFailed = 5,        // writing or closing the output failed
  ExitCipherFailed = 6,       // bad padding, ragged ciphertext, or no SHA-1/AES
  ExitLengthUnsupported = 7,  // the last partial chunk is too long to pad
};

constexpr ExitStatus exit_status_for(cryptcore::Outcome outcome) {
  switch (outcome) {
    case cryptcore::Outcome::Ok:
      return ExitOk;
    case cryptcore::Outcome::InputOpenFailed:
      return ExitInputOpen;
    case cryptcore::Outcome::OutputOpenFailed:
      return ExitOutputOpen;
    case cryptcore::Outcome::ReadFailed:
      return ExitReadFailed;
    case cryptcore::Outcome::WriteFailed:
      return ExitWriteFailed;
    case cryptcore::Outcome::CipherFailed:
      return ExitCipherFailed;
    case cryptcore::Outcome::LengthUnsupported:
      return ExitLengthUnsupported;
    case cryptcore::Outcome::InvalidArgument:
    case cryptcore::Outcome::OutputTooSmall:
      // The programs always pass valid arguments and make no incremental
      // calls; this is a usage error too.
      return ExitUsage;
    case cryptcore::Outcome::Cancelled:
      // The programs pass no progress callback; a run stopped from inside
      // leaves no output, as a failed write does.
      return ExitWriteFailed;
  }
  return ExitCipherFailed;
}

}  // namespace cryptdriver
