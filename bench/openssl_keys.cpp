// SPDX-License-Identifier: Apache-2.0
#include "openssl_keys.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

namespace cryptbench {

namespace {

using Digest = std::array<std::uint8_t, cryptcore::kSha1Size>;

// Where an odd round copies the chain's value into the stretch buffer.
constexpr std::size_t kOddRoundOffset = 16;

bool sha1(std::span<const std::uint8_t> data, Digest& out) {
  return EVP_Digest(data.data(), data.size(), out.data(), nullptr, EVP_sha1(), nullptr) == 1;
}

std::string hex_of(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

// The AES key of a chain's last value: SHA-1 of the value XORed into 64 bytes
// of 0x36, then of 0x5C; the first 32 bytes of the two digests joined.
bool key_of(const Digest& value, std::array<std::uint8_t, 2 * cryptcore::kSha1Size>& joined) {
  constexpr std::uint8_t kPadBytes[] = {0x36, 0x5C};
  bool ok = true;
  for (std::size_t half = 0; ok && half < 2; ++half) {
    std::array<std::uint8_t, 64> pad;
    pad.fill(kPadBytes[half]);
    for (std::size_t i = 0; i < value.size(); ++i) {
      pad[i] ^= value[i];
    }
    Digest digest;
    ok = sha1(pad, digest);
    std::memcpy(joined.data() + half * cryptcore::kSha1Size, digest.data(), digest.size());
  }
  return ok;
}

}  // namespace

std::vector<OpensslPassKey> openssl_pass_keys(std::string_view passphrase,
                                              cryptcore::KeySchedule schedule) {
  const std::span<const std::uint8_t> passphrase_bytes(
      reinterpret_cast<const std::uint8_t*>(passphrase.data()), passphrase.size());
  Digest main_chain;
  Digest second_chain;
  std::array<std::uint8_t, cryptcore::kStretchSize> stretch;
  for (std::size_t i = 0; i < stretch.size(); ++i) {
    stretch[i] = static_cast<std::uint8_t>(i);
  }
  // The second chain, the cascade's, starts at SHA-1 of the first digest and
  // re-hashes its own value once a round.
  bool ok = sha1(passphrase_bytes, main_chain) && sha1(main_chain, second_chain);
  for (int round = 0; ok && round < cryptcore::kStretchRounds; ++round) {
    std::memcpy(stretch.data() + (round % 2 == 0 ? 0 : kOddRoundOffset), main_chain.data(),
                main_chain.size());
    ok = sha1(stretch, main_chain) && sha1(second_chain, second_chain);
  }
  std::memcpy(stretch.data(), main_chain.data(), main_chain.size());

  std::vector<OpensslPassKey> keys;
  const std::pair<const Digest*, std::size_t> passes[] = {
      {&main_chain, cryptcore::kFirstIvOffset}, {&second_chain, cryptcore::kSecondIvOffset}};
  for (std::size_t pass = 0; ok && pass < cryptcore::pass_count(schedule); ++pass) {
    std::array<std::uint8_t, 2 * cryptcore::kSha1Size> joined;
    ok = key_of(*passes[pass].first, joined);
    keys.push_back({hex_of(std::span(joined).first(cryptcore::kAesKeySize)),
                    hex_of(std::span(stretch).subspan(passes[pass].second, cryptcore::kIvSize))});
    OPENSSL_cleanse(joined.data(), joined.size());
  }
  OPENSSL_cleanse(main_chain.data(), main_chain.size());
  OPENSSL_cleanse(second_chain.data(), second_chain.size());
  OPENSSL_cleanse(stretch.data(), stretch.size());
  if (!ok) {
    keys.clear();
  }
  return keys;
}

}  // namespace cryptbench
