// SPDX-License-Identifier: Apache-2.0
#include "cryptcore/secret_bytes.hpp"

#include "crypto/secure_wipe.hpp"

namespace cryptcore {

SecretBytes::~SecretBytes() {
  secure_wipe(bytes_.get(), size_);
}

}  // namespace cryptcore
