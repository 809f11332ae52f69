// SPDX-License-Identifier: Apache-2.0
// A run on two threads. The chunks move through a ring of slots in the
// workspace: read into a slot, transformed there in place by the cipher
// passes, written out from it, and the slot is read into again. The calling
// thread runs the cipher; one helper thread reads ahead and writes
// behind (one pass encrypting a file), runs the cascade's second pass and
// writes (the cascade encrypting), or only writes (decrypting, or reading a
// pipe), so that the I/O and the passes overlap.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "cryptcore/outcome.hpp"
#include "format/incremental_state.hpp"
#include "io/progress_meter.hpp"
#include "io/write_fence.hpp"

namespace cryptcore {

// The ring's slots (1 MiB), and how many of them one read moves at most
// between two files; a write there takes every chunk that is ready, up to the
// end of the ring, and is started once this many are. Fewer, larger calls and
// wake-ups were faster on every kind of run (measured with 8 to 32 slots and
// 2 to 8 chunks a call); 32 slots gained a few hundredths more on some runs,
// but with the shared libcrypto took a long run's peak memory past 8 MiB.
inline constexpr std::size_t kRingChunks = 16;
inline constexpr std::size_t kChunksPerCall = 8;
static_assert(kRingChunks % kChunksPerCall == 0, "calls never straddle the end of the ring");
// Below this much input, starting a thread costs more than it saves.
inline constexpr std::uint64_t kPipelineMinInput = std::uint64_t{4} << 20;

// The ring and what the two threads of a run share about it. Set up once
// and reused by every run (static in the programs); one run at a time.
class ChunkRing {
 public:
  ChunkRing() = default;
  ChunkRing(const ChunkRing&) = delete;
  ChunkRing& operator=(const ChunkRing&) = delete;

 private:
  friend class Pipeline;
  friend class BatchRun;

  alignas(64) std::array<std::uint8_t, kRingChunks * kChunkSize> slots_;
  std::mutex mutex_;
  std::condition_variable caller_wake_;
  std::condition_variable helper_wake_;

  // How far the run has come, guarded by mutex_. Counts are of whole chunks
  // from the start of the run; chunk i lives in slot i % kRingChunks.
  struct Progress {
    // The reading, when the helper reads: chunks read in full, and whether
    // the input ended (with `final_length` bytes read of the next chunk) or
    // a read failed.
    std::uint64_t filled = 0;
    std::size_t final_length = 0;
    bool input_ended = false;
    bool read_failed = false;
    // The worker: whole chunks made; once it is done, whether it made a
    // final short chunk (at index `made`) of `tail_length` bytes.
    std::uint64_t made = 0;
    bool worker_done = false;
    bool has_tail = false;
    std::size_t tail_length = 0;
    // The writing: chunks written (their slots are free again), and what
    // failed on the helper.
    std::uint64_t written = 0;
    bool write_failed = false;
    bool pass_failed = false;
    // Who waits, so that only a change it waits for wakes it.
    bool caller_waiting = false;
    bool helper_waiting = false;
    std::uint64_t helper_wants_made = 0;
  } progress_;
};

// Serves the initialised `cipher` from `input_fd` to `output_fd` through
// `ring` on two threads, the helper's writes to a regular file going through
// `fence`, with the bytes, outcome and writes the one-thread loop (serve())
// gives, counting each chunk the calling thread takes on `progress`. nullopt, before anything is
// read or written, when the input is too short to pay for a thread or the thread cannot start.
std::optional<Outcome> serve_pipelined(IncrementalState& cipher, int input_fd, int output_fd,
                                       ChunkRing& ring, WriteFence& fence, ProgressMeter& progress);

}  // namespace cryptcore
