// SPDX-License-Identifier: Apache-2.0
// Overwriting secrets in a way the compiler cannot drop as a dead store.
#pragma once

#include <cstddef>

namespace cryptcore {

// Sets `size` bytes at `data` to zero, even where nothing reads them again.
void secure_wipe(void* data, std::size_t size);

}  // namespace cryptcore
