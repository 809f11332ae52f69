// SPDX-License-Identifier: Apache-2.0
#include "format/key_schedule.hpp"

#include <cstring>

#include "crypto/call_residue.hpp"
#include "crypto/secure_wipe.hpp"

namespace cryptcore {

namespace {

// Each round's digest is copied to the front of the stretch buffer on even
// rounds and to this offset on odd ones, so consecutive digests overlap.
constexpr std::size_t kOddRoundOffset = 16;
static_assert(kOddRoundOffset + kSha1Size == kStretchSize);
static_assert(kFirstIvOffset + kIvSize == kStretchSize);

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Sha1Digest::~Sha1Digest() {
  release();
  secure_wipe(digest_.data(), digest_.size());
}

bool Sha1Digest::compute(std::span<const std::uint8_t> data) {
  release();
  live_ = hash_.create(provider_);
  // `data` may be this digest's own value: it is read in full before the new
  // value is written over it.
  return live_ && hash_.append(data) && hash_.value(digest_);
}

void Sha1Digest::release() {
  if (live_) {
    hash_.destroy();
  }
  live_ = false;
}

void PassKeys::destroy() {
  for (AesCbcKey& key : keys) {
    key.destroy();
  }
  count = 0;
}

bool PassKeys::copy_from(const Provider& provider, const PassKeys& other) {
  destroy();
  bool ok = other.count != 0;
  for (std::size_t i = 0; ok && i < other.count; ++i) {
    ok = keys[i].copy_from(provider, other.keys[i]);
  }
  if (!ok) {
    destroy();
    return false;
  }
  count = other.count;
  return true;
}

namespace {

[[gnu::noinline]] bool derive_keys(const Provider& provider, std::string_view passphrase,
                                   KeySchedule schedule, PassKeys& pass_keys) {
  pass_keys.destroy();
  if (schedule != KeySchedule::Single && schedule != KeySchedule::Cascade) {
    return false;
  }
  const bool cascade = schedule == KeySchedule::Cascade;
  // digest_a is the main chain over the stretch buffer; digest_b, used only
  // by the cascade, re-hashes its own value once per round.
  Sha1Digest digest_a(provider);
  Sha1Digest digest_b(provider);
  std::array<std::uint8_t, kStretchSize> stretch;

  bool ok = digest_a.compute(bytes_of(passphrase));
  if (cascade) {
    ok = ok && digest_b.compute(digest_a.digest());
  }
  for (std::size_t i = 0; i < stretch.size(); ++i) {
    stretch[i] = static_cast<std::uint8_t>(i);
  }
  for (int round = 0; ok; ++round) {
    const std::size_t offset = round % 2 == 0 ? 0 : kOddRoundOffset;
    std::memcpy(stretch.data() + offset, digest_a.digest().data(), kSha1Size);
    if (round == kStretchRounds) {
      break;
    }
    ok = digest_a.compute(stretch);
    if (cascade) {
      ok = ok && digest_b.compute(digest_b.digest());
    }
  }

  AesCbcKey& key_1 = pass_keys.keys[0];
  AesCbcKey& key_2 = pass_keys.keys[1];
  ok = ok && key_1.derive(provider, digest_a.hash());
  if (cascade) {
    ok = ok && key_2.derive(provider, digest_b.hash());
  }
  digest_a.release();
  digest_b.release();
  const std::span<const std::uint8_t, kStretchSize> buffer(stretch);
  ok = ok && key_1.set_iv(buffer.subspan<kFirstIvOffset, kIvSize>());
  if (cascade) {
    ok = ok && key_2.set_iv(buffer.subspan<kSecondIvOffset, kIvSize>());
  }
  secure_wipe(stretch.data(), stretch.size());

  if (!ok) {
    pass_keys.destroy();
    return false;
  }
  pass_keys.count = pass_count(schedule);
  return true;
}

}  // namespace

bool derive_pass_keys(const Provider& provider, std::string_view passphrase, KeySchedule schedule,
                      PassKeys& pass_keys) {
  // In its own frame, so that its stack is given up before the wipe.
  const bool ok = derive_keys(provider, passphrase, schedule, pass_keys);
  wipe_call_residue();
  return ok;
}

}  // namespace cryptcore
