// SPDX-License-Identifier: Apache-2.0
// Wiping what a finished computation on secrets leaves behind outside its
// own variables: values in vector registers and in the dead stack frames of
// the calls it made (OpenSSL's among them).
#pragma once

namespace cryptcore {

// Zeroes the vector registers (all of them that the caller cannot be
// holding a value in) and overwrites the stack below the caller.
// Call it right after the function that handled the secrets has returned, so
// that its frames lie in the area that is overwritten.
void wipe_call_residue();

}  // namespace cryptcore
