// SPDX-License-Identifier: Apache-2.0
#include "format/chunk_decryptor.hpp"

#include <algorithm>
#include <array>

#include "crypto/secure_wipe.hpp"

namespace cryptcore {

bool ChunkDecryptor::init(const CipherStream& stream) {
  release();
  if (!stream.decrypting() || !provider_.acquire() ||
      !pass_keys_.copy_from(provider_, stream.keys())) {
    release();
    return false;
  }
  // Set up for decrypting now, so that no stretch allocates.
  for (AesCbcKey& key : pass_keys_.in_pass_order()) {
    if (!key.prepare(false)) {
      release();
      return false;
    }
  }
  return true;
}

bool ChunkDecryptor::decrypt(std::span<const std::uint8_t> lead, std::uint8_t* data,
                             std::size_t& length, bool ends_file) {
  if (pass_keys_.count == 0 || !start_from(lead)) {
    return false;
  }
  // Whole chunks are never padded; only a short last one is.
  std::size_t whole = length - length % kChunkSize;
  std::size_t tail = length - whole;
  if (!run_passes(data, whole, false) || (!ends_file && tail != 0)) {
    return false;
  }
  if (tail != 0 && !run_passes(data + whole, tail, true)) {
    return false;
  }
  length = whole + tail;
  return true;
}

bool ChunkDecryptor::start_from(std::span<const std::uint8_t> lead) {
  const std::size_t passes = pass_keys_.count;
  if (lead.empty()) {
    for (AesCbcKey& key : pass_keys_.in_pass_order()) {
      key.restart();
    }
    return true;
  }
  if (lead.size() != lead_size()) {
    return false;
  }
  // Pass p goes on from block p of the lead as the passes before it leave
  // it, and decrypts the blocks after it, which leaves the key on the lead's
  // last block as the passes before it leave it: the block its next call
  // follows, and the next pass's lead.
  std::array<std::uint8_t, kMaxLeadSize> blocks;
  std::copy(lead.begin(), lead.end(), blocks.begin());
  bool ok = true;
  for (std::size_t pass = 0; pass < passes && ok; ++pass) {
    AesCbcKey& key = decrypting_pass(pass);
    std::uint8_t* const block = blocks.data() + pass * kAesBlockSize;
    key.continue_from(std::span<const std::uint8_t, kAesBlockSize>(block, kAesBlockSize));
    std::size_t rest = (passes - 1 - pass) * kAesBlockSize;
    ok = key.decrypt(block + kAesBlockSize, rest, false);
  }
  secure_wipe(blocks.data(), blocks.size());
  return ok;
}

bool ChunkDecryptor::run_passes(std::uint8_t* data, std::size_t& length, bool final) {
  for (std::size_t pass = 0; pass < pass_keys_.count; ++pass) {
    if (!decrypting_pass(pass).decrypt(data, length, final)) {
      return false;
    }
  }
  return true;
}

void ChunkDecryptor::release() {
  pass_keys_.destroy();
  provider_.release();
}

}  // namespace cryptcore
