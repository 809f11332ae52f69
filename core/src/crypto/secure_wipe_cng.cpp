// SPDX-License-Identifier: Apache-2.0
#include <windows.h>

#include "crypto/secure_wipe.hpp"

namespace cryptcore {

void secure_wipe(void* data, std::size_t size) {
  SecureZeroMemory(data, size);
}

}  // namespace cryptcore
