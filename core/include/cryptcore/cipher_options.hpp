// SPDX-License-Identifier: Apache-2.0
// What every run is set up with besides its passphrase: which program's key
// schedule, and which way the bytes go.
#pragma once

#include <cstdint>

namespace cryptcore {

// Which program's cipher a run uses; the value is its number of AES-256-CBC
// passes. Single is singlecrypt's, Cascade is cascadecrypt's.
enum class KeySchedule : std::uint8_t { Single = 1, Cascade = 2 };

enum class Direction : std::uint8_t { Encrypt, Decrypt };

}  // namespace cryptcore
