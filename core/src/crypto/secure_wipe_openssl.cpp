// SPDX-License-Identifier: Apache-2.0
#include <openssl/crypto.h>

#include "crypto/secure_wipe.hpp"

namespace cryptcore {

void secure_wipe(void* data, std::size_t size) {
  OPENSSL_cleanse(data, size);
}

}  // namespace cryptcore
