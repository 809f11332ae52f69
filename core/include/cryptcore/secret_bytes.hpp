// SPDX-License-Identifier: Apache-2.0
// A private copy of secret bytes (a passphrase) that is wiped when dropped.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace cryptcore {

class SecretBytes {
 public:
  explicit SecretBytes(std::string_view bytes)
      : bytes_(std::make_unique<char[]>(bytes.size() + 1)), size_(bytes.size()) {
    std::memcpy(bytes_.get(), bytes.data(), size_);
  }
  ~SecretBytes();
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

}  // namespace cryptcore
