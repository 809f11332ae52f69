#include "cryptcore/key_schedule.hpp"

#include <openssl/crypto.h>

#include <cstring>

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

// How much stack below derive_pass_keys is wiped once the keys are set: far
// more than the hash calls under it use.
constexpr std::size_t kStackWipeSize = 16384;

// Zeroes the vector registers. The hashing and copying of the key schedule
// leave chain values in them, and the dynamic linker saves them all on the
// stack whenever a library function is first bound, so they would reach
// memory at the next first call. Every vector register is caller-saved, so
// nothing the caller holds is lost.
[[gnu::noinline]] void clear_vector_registers() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) {
    asm volatile(
        "vpxord %%zmm16, %%zmm16, %%zmm16\n vpxord %%zmm17, %%zmm17, %%zmm17\n"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n vpxord %%zmm19, %%zmm19, %%zmm19\n"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n vpxord %%zmm21, %%zmm21, %%zmm21\n"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n vpxord %%zmm23, %%zmm23, %%zmm23\n"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n vpxord %%zmm25, %%zmm25, %%zmm25\n"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n vpxord %%zmm27, %%zmm27, %%zmm27\n"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n vpxord %%zmm29, %%zmm29, %%zmm29\n"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n vpxord %%zmm31, %%zmm31, %%zmm31\n"
        "vpxord %%zmm0, %%zmm0, %%zmm0\n vpxord %%zmm1, %%zmm1, %%zmm1\n"
        "vpxord %%zmm2, %%zmm2, %%zmm2\n vpxord %%zmm3, %%zmm3, %%zmm3\n"
        "vpxord %%zmm4, %%zmm4, %%zmm4\n vpxord %%zmm5, %%zmm5, %%zmm5\n"
        "vpxord %%zmm6, %%zmm6, %%zmm6\n vpxord %%zmm7, %%zmm7, %%zmm7\n"
        "vpxord %%zmm8, %%zmm8, %%zmm8\n vpxord %%zmm9, %%zmm9, %%zmm9\n"
        "vpxord %%zmm10, %%zmm10, %%zmm10\n vpxord %%zmm11, %%zmm11, %%zmm11\n"
        "vpxord %%zmm12, %%zmm12, %%zmm12\n vpxord %%zmm13, %%zmm13, %%zmm13\n"
        "vpxord %%zmm14, %%zmm14, %%zmm14\n vpxord %%zmm15, %%zmm15, %%zmm15\n"
        "vzeroupper" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  } else if (__builtin_cpu_supports("avx")) {
    asm volatile("vzeroall" ::
                     : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                       "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  } else {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n pxor %%xmm1, %%xmm1\n pxor %%xmm2, %%xmm2\n pxor %%xmm3, %%xmm3\n"
        "pxor %%xmm4, %%xmm4\n pxor %%xmm5, %%xmm5\n pxor %%xmm6, %%xmm6\n pxor %%xmm7, %%xmm7\n"
        "pxor %%xmm8, %%xmm8\n pxor %%xmm9, %%xmm9\n pxor %%xmm10, %%xmm10\n"
        "pxor %%xmm11, %%xmm11\n pxor %%xmm12, %%xmm12\n pxor %%xmm13, %%xmm13\n"
        "pxor %%xmm14, %%xmm14\n pxor %%xmm15, %%xmm15" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
              "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
  }
#endif
}

// Overwrites the stack where the key schedule and the calls under it ran:
// wiping its own variables is not enough, as OpenSSL's frames and the
// register saves above leave chain values there (found by tests/secrets).
[[gnu::noinline]] void wipe_stack_below() {
  std::array<std::uint8_t, kStackWipeSize> area;
  OPENSSL_cleanse(area.data(), area.size());
}

}  // namespace

Sha1Digest::~Sha1Digest() {
  release();
  OPENSSL_cleanse(digest_.data(), digest_.size());
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

namespace {

[[gnu::noinline]] bool derive_keys(const Provider& provider, std::string_view passphrase,
                                   KeySchedule schedule, PassKeys& pass_keys) {
  pass_keys.destroy();
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
  OPENSSL_cleanse(stretch.data(), stretch.size());

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
  clear_vector_registers();
  wipe_stack_below();
  return ok;
}

}  // namespace cryptcore
