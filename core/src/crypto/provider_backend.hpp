// SPDX-License-Identifier: Apache-2.0
// What each backend of the binding gives it: the two algorithms, SHA-1 hash
// objects, and AES-256-CBC over whole blocks from a given chaining value.
// provider_openssl.cpp and provider_cng.cpp each define these; the build
// compiles exactly one. Padding and the chaining value between calls belong to
// the binding (provider.cpp), so no backend keeps state from one call to the
// next that could change the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/provider.hpp"

namespace cryptcore::backend {

// Looks up SHA-1 and AES-256-CBC; false (and both null) if either is missing.
bool open_algorithms(BackendHandle& sha1, BackendHandle& aes_256_cbc);
// Releases what open_algorithms() gave; either may be null.
void close_algorithms(BackendHandle& sha1, BackendHandle& aes_256_cbc);

bool hash_create(BackendHandle sha1, BackendHandle& hash);
bool hash_append(BackendHandle hash, std::span<const std::uint8_t> data);
bool hash_finish(BackendHandle hash, Sha1Value& out);
// Destroys the hash object and wipes its state; `hash` may be null.
void hash_destroy(BackendHandle& hash);

// A context for one AES-256 key; no key is set in it yet.
bool cipher_create(BackendHandle aes_256_cbc, BackendHandle& cipher);
// Encrypts or decrypts `length` bytes at `data` (whole blocks) in place, in
// CBC mode without padding, starting from the chaining value `chain`, which
// is only read. `direction_changed` is set on the first call and whenever the
// previous call on this context went the other way.
bool cipher_cbc(BackendHandle aes_256_cbc, BackendHandle cipher,
                std::span<const std::uint8_t, kAesKeySize> key,
                std::span<const std::uint8_t, kIvSize> chain, bool encrypting,
                bool direction_changed, std::uint8_t* data, std::size_t length);
// Destroys the context and wipes the key schedule in it; `cipher` may be null.
void cipher_destroy(BackendHandle& cipher);

}  // namespace cryptcore::backend
