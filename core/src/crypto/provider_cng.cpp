// SPDX-License-Identifier: Apache-2.0
// The binding's backend over Windows' CNG (bcrypt.dll).
//
// CNG would chain CBC calls by itself, but not the same way everywhere:
// Windows writes the chaining value back into the IV buffer it is handed,
// while Wine keeps it inside the key object and restarts only when handed a
// different IV. So every call here runs on a fresh key object over a copy of
// the binding's chaining value, and nothing carries over from call to call.
// The key objects and hash objects live in memory of our own, which is wiped
// once CNG is done with it.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cwchar>
#include <memory>
#include <new>

#include "crypto/provider_backend.hpp"
#include "crypto/secure_wipe.hpp"

namespace cryptcore::backend {

namespace {

bool succeeded(NTSTATUS status) {
  return status >= 0;
}

// An algorithm provider and the size of the objects it makes.
struct Algorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  ULONG object_size = 0;
};

// Memory for one CNG object, wiped when it is given back.
struct ObjectMemory {
  explicit ObjectMemory(ULONG object_size)
      : size(object_size), bytes(new (std::nothrow) UCHAR[object_size]) {}
  ~ObjectMemory() {
    if (bytes) {
      secure_wipe(bytes.get(), size);
    }
  }
  ObjectMemory(const ObjectMemory&) = delete;
  ObjectMemory& operator=(const ObjectMemory&) = delete;

  ULONG size;
  std::unique_ptr<UCHAR[]> bytes;
};

struct Hash {
  explicit Hash(ULONG object_size) : memory(object_size) {}
  ~Hash() {
    if (handle != nullptr) {
      BCryptDestroyHash(handle);
    }
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  ObjectMemory memory;  // outlives the handle: destroyed after it
  BCRYPT_HASH_HANDLE handle = nullptr;
};

Algorithm* algorithm_of(BackendHandle handle) {
  return static_cast<Algorithm*>(handle);
}

Algorithm* open_algorithm(LPCWSTR name, LPCWSTR chaining_mode) {
  auto algorithm = std::unique_ptr<Algorithm>(new (std::nothrow) Algorithm);
  if (!algorithm || !succeeded(BCryptOpenAlgorithmProvider(&algorithm->handle, name, nullptr, 0))) {
    return nullptr;
  }
  ULONG got = 0;
  const bool ok = succeeded(BCryptGetProperty(algorithm->handle, BCRYPT_OBJECT_LENGTH,
                                              reinterpret_cast<PUCHAR>(&algorithm->object_size),
                                              sizeof algorithm->object_size, &got, 0)) &&
                  got == sizeof algorithm->object_size &&
                  (chaining_mode == nullptr ||
                   succeeded(BCryptSetProperty(
                       algorithm->handle, BCRYPT_CHAINING_MODE,
                       reinterpret_cast<PUCHAR>(const_cast<LPWSTR>(chaining_mode)),
                       static_cast<ULONG>((wcslen(chaining_mode) + 1) * sizeof(WCHAR)), 0)));
  if (!ok) {
    BCryptCloseAlgorithmProvider(algorithm->handle, 0);
    return nullptr;
  }
  return algorithm.release();
}

void close_algorithm(BackendHandle& handle) {
  if (Algorithm* const algorithm = algorithm_of(handle)) {
    BCryptCloseAlgorithmProvider(algorithm->handle, 0);
    delete algorithm;
  }
  handle = nullptr;
}

}  // namespace

bool open_algorithms(BackendHandle& sha1, BackendHandle& aes_256_cbc) {
  sha1 = open_algorithm(BCRYPT_SHA1_ALGORITHM, nullptr);
  aes_256_cbc = open_algorithm(BCRYPT_AES_ALGORITHM, BCRYPT_CHAIN_MODE_CBC);
  if (sha1 == nullptr || aes_256_cbc == nullptr) {
    close_algorithms(sha1, aes_256_cbc);
    return false;
  }
  return true;
}

void close_algorithms(BackendHandle& sha1, BackendHandle& aes_256_cbc) {
  close_algorithm(sha1);
  close_algorithm(aes_256_cbc);
}

bool hash_create(BackendHandle sha1, BackendHandle& hash) {
  const Algorithm& algorithm = *algorithm_of(sha1);
  auto created = std::unique_ptr<Hash>(new (std::nothrow) Hash(algorithm.object_size));
  if (!created || !created->memory.bytes ||
      !succeeded(BCryptCreateHash(algorithm.handle, &created->handle, created->memory.bytes.get(),
                                  created->memory.size, nullptr, 0, 0))) {
    return false;
  }
  hash = created.release();
  return true;
}

bool hash_append(BackendHandle hash, std::span<const std::uint8_t> data) {
  // CNG only reads the input; its parameter is not const.
  auto* const bytes = const_cast<PUCHAR>(data.data());
  for (std::size_t done = 0; done < data.size();) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(data.size() - done, ULONG_MAX));
    if (!succeeded(BCryptHashData(static_cast<Hash*>(hash)->handle, bytes + done, piece, 0))) {
      return false;
    }
    done += piece;
  }
  return true;
}

bool hash_finish(BackendHandle hash, Sha1Value& out) {
  return succeeded(BCryptFinishHash(static_cast<Hash*>(hash)->handle, out.data(),
                                    static_cast<ULONG>(out.size()), 0));
}

void hash_destroy(BackendHandle& hash) {
  delete static_cast<Hash*>(hash);
  hash = nullptr;
}

bool cipher_create(BackendHandle aes_256_cbc, BackendHandle& cipher) {
  auto memory = std::unique_ptr<ObjectMemory>(
      new (std::nothrow) ObjectMemory(algorithm_of(aes_256_cbc)->object_size));
  if (!memory || !memory->bytes) {
    return false;
  }
  cipher = memory.release();
  return true;
}

bool cipher_cbc(BackendHandle aes_256_cbc, BackendHandle cipher,
                std::span<const std::uint8_t, kAesKeySize> key,
                std::span<const std::uint8_t, kIvSize> chain, bool encrypting, bool,
                std::uint8_t* data, std::size_t length) {
  if (length > ULONG_MAX) {
    return false;
  }
  ObjectMemory& memory = *static_cast<ObjectMemory*>(cipher);
  BCRYPT_KEY_HANDLE key_handle = nullptr;
  if (!succeeded(BCryptGenerateSymmetricKey(
          algorithm_of(aes_256_cbc)->handle, &key_handle, memory.bytes.get(), memory.size,
          const_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()), 0))) {
    return false;
  }
  // CNG may write the chaining value into this copy; it is not read back.
  std::array<UCHAR, kIvSize> iv;
  std::copy(chain.begin(), chain.end(), iv.begin());
  const ULONG size = static_cast<ULONG>(length);
  ULONG written = 0;
  const NTSTATUS status = encrypting ? BCryptEncrypt(key_handle, data, size, nullptr, iv.data(),
                                                     kIvSize, data, size, &written, 0)
                                     : BCryptDecrypt(key_handle, data, size, nullptr, iv.data(),
                                                     kIvSize, data, size, &written, 0);
  BCryptDestroyKey(key_handle);
  secure_wipe(memory.bytes.get(), memory.size);
  return succeeded(status) && written == size;
}

void cipher_destroy(BackendHandle& cipher) {
  delete static_cast<ObjectMemory*>(cipher);
  cipher = nullptr;
}

}  // namespace cryptcore::backend
