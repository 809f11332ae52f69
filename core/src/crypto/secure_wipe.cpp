// SPDX-License-Identifier: Apache-2.0
#include "crypto/secure_wipe.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <openssl/crypto.h>
#endif

namespace cryptcore {

void secure_wipe(void* data, std::size_t size) {
#if defined(_WIN32)
  SecureZeroMemory(data, size);
#else
  OPENSSL_cleanse(data, size);
#endif
}

}  // namespace cryptcore
