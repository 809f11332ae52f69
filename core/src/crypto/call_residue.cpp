// SPDX-License-Identifier: Apache-2.0
#include "crypto/call_residue.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/secure_wipe.hpp"

namespace cryptcore {

namespace {

// How much stack below the caller is wiped: far more than the key schedule's
// hash calls use.
constexpr std::size_t kStackWipeSize = 16384;

#if defined(__x86_64__)
// zmm16 to zmm31 exist only with AVX-512, and no calling convention asks a
// function to keep them.
void clear_avx512_high_registers() {
  if (__builtin_cpu_supports("avx512f")) {
    asm volatile(
        "vpxord %%zmm16, %%zmm16, %%zmm16\n vpxord %%zmm17, %%zmm17, %%zmm17\n"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n vpxord %%zmm19, %%zmm19, %%zmm19\n"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n vpxord %%zmm21, %%zmm21, %%zmm21\n"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n vpxord %%zmm23, %%zmm23, %%zmm23\n"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n vpxord %%zmm25, %%zmm25, %%zmm25\n"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n vpxord %%zmm27, %%zmm27, %%zmm27\n"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n vpxord %%zmm29, %%zmm29, %%zmm29\n"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n vpxord %%zmm31, %%zmm31, %%zmm31" ::
            :
    // Code built for AVX-512 may keep values of its own in these registers.
#if defined(__AVX512F__)
        "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25",
        "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31"
#endif
    );
  }
}
#endif

// Zeroes the vector registers that may still hold what the key schedule
// left. The hashing and copying of the key schedule leave chain values in
// them, and the dynamic linker saves them all on the stack whenever a library
// function is first bound, so they would reach memory at the next first call.
[[gnu::noinline]] void clear_vector_registers() {
#if defined(__x86_64__) && defined(_WIN32)
  // On Windows x64 the low 128 bits of xmm6 to xmm15 are callee-saved: every
  // function that uses them, the key schedule and CNG's among them, restores
  // the caller's values before it returns, so after the key schedule they
  // hold only what its callers kept there, and its own values in them are
  // gone. The copies those functions saved lie in their dead frames, which
  // the stack wipe below overwrites. Zeroing them here would destroy the
  // callers' values (or, if declared as clobbered, make the compiler save them
  // on the stack first), so only what the convention leaves volatile is
  // cleared: xmm0 to xmm5 whole, the upper halves of every ymm and zmm
  // register (vzeroupper keeps the low 128 bits), and zmm16 to zmm31.
  clear_avx512_high_registers();
  if (__builtin_cpu_supports("avx")) {
    // The VEX forms also zero bits 128 and up of the registers they write.
    asm volatile(
        "vpxor %%xmm0, %%xmm0, %%xmm0\n vpxor %%xmm1, %%xmm1, %%xmm1\n"
        "vpxor %%xmm2, %%xmm2, %%xmm2\n vpxor %%xmm3, %%xmm3, %%xmm3\n"
        "vpxor %%xmm4, %%xmm4, %%xmm4\n vpxor %%xmm5, %%xmm5, %%xmm5\n"
        "vzeroupper" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5");
  } else {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n pxor %%xmm1, %%xmm1\n pxor %%xmm2, %%xmm2\n"
        "pxor %%xmm3, %%xmm3\n pxor %%xmm4, %%xmm4\n pxor %%xmm5, %%xmm5" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5");
  }
#elif defined(__x86_64__)
  // Every vector register is caller-saved on x86-64 Linux, so nothing the
  // caller holds is lost. vzeroall clears zmm0 to zmm15 whole.
  clear_avx512_high_registers();
  if (__builtin_cpu_supports("avx")) {
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
#elif defined(__aarch64__)
  // v0-v7 and v16-v31 are caller-saved. Of v8-v15 the callee keeps only the
  // low 64 bits, which therefore hold the caller's values again once the key
  // schedule has returned; their high halves are anyone's, and OpenSSL's
  // code leaves its data there. A 64-bit move of a register onto itself
  // keeps the low half and zeroes the rest (with SVE, all of the longer
  // register above it), so v8-v15 are left as the caller knows them.
  asm volatile(
      "movi v0.16b, #0\n movi v1.16b, #0\n movi v2.16b, #0\n movi v3.16b, #0\n"
      "movi v4.16b, #0\n movi v5.16b, #0\n movi v6.16b, #0\n movi v7.16b, #0\n"
      "mov v8.8b, v8.8b\n mov v9.8b, v9.8b\n mov v10.8b, v10.8b\n mov v11.8b, v11.8b\n"
      "mov v12.8b, v12.8b\n mov v13.8b, v13.8b\n mov v14.8b, v14.8b\n mov v15.8b, v15.8b\n"
      "movi v16.16b, #0\n movi v17.16b, #0\n movi v18.16b, #0\n movi v19.16b, #0\n"
      "movi v20.16b, #0\n movi v21.16b, #0\n movi v22.16b, #0\n movi v23.16b, #0\n"
      "movi v24.16b, #0\n movi v25.16b, #0\n movi v26.16b, #0\n movi v27.16b, #0\n"
      "movi v28.16b, #0\n movi v29.16b, #0\n movi v30.16b, #0\n movi v31.16b, #0" ::
          : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20",
            "v21", "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31");
#endif
}

// Overwrites the stack where the key schedule and the calls under it ran:
// wiping its own variables is not enough, as the crypto library's frames and
// the register saves above leave chain values there (found by tests/secrets).
[[gnu::noinline]] void wipe_stack_below() {
  std::array<std::uint8_t, kStackWipeSize> area;
  secure_wipe(area.data(), area.size());
}

}  // namespace

void wipe_call_residue() {
  clear_vector_registers();
  wipe_stack_below();
}

}  // namespace cryptcore
