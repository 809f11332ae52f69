// SPDX-License-Identifier: Apache-2.0
// What an IncrementalCipher holds, and the one driver of the cipher stream's
// worker: whole chunks go to the worker where they lie, a partial one is
// gathered in the state's own chunk buffer first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "cryptcore/incremental_cipher.hpp"
#include "format/cipher_stream.hpp"

namespace cryptcore {

class IncrementalState {
 public:
  IncrementalState() = default;
  ~IncrementalState() { wipe(); }
  IncrementalState(const IncrementalState&) = delete;
  IncrementalState& operator=(const IncrementalState&) = delete;

  static IncrementalState& in(IncrementalCipher& opaque);

  // The public calls (incremental_cipher.hpp).
  Outcome init(std::string_view passphrase, Direction direction, KeySchedule schedule);
  Outcome update(const std::uint8_t* input, std::size_t length, std::uint8_t* output,
                 std::size_t capacity, std::size_t& written);
  Outcome finish(std::uint8_t* output, std::size_t capacity, std::size_t& written);
  void wipe();

  // Starts a run with a copy of the keys of `keyed` (a state whose init()
  // succeeded and that has not ended), without deriving them again: for the
  // fuzz targets, which derive the keys of a few passphrases once.
  Outcome init_with_keys_of(const IncrementalState& keyed, Direction direction);

  // The zero-copy forms, for a driver that reads into a chunk buffer and
  // writes from it; neither may follow an update() that left bytes held back.
  // The state's own chunk buffer, to read into.
  ChunkBuffer buffer() { return chunk_; }
  // Transforms the whole chunk at `chunk` where it lies.
  Outcome update_in_place(ChunkBuffer chunk);
  // Ends the run with the last `length` bytes (fewer than a chunk, maybe
  // none) at `chunk`, transformed where they lie; `written` bytes of it are
  // the output.
  Outcome finish_in_place(ChunkBuffer chunk, std::size_t length, std::size_t& written);

  // The forms of a run on two threads. Before the first chunk: the worker
  // leaves the last `count` passes of every chunk (maybe none) to
  // run_handed_off_passes(), which another thread may call on the chunks made
  // here while this one goes on. The keys then stay until wipe(), which the
  // driver calls once the other thread is done, so that they never go while
  // it may use them.
  void hand_off_passes(std::size_t count);
  bool run_handed_off_passes(ChunkBuffer chunk, std::size_t& length, bool final) {
    return stream_.run_handed_off_passes(chunk, length, final);
  }
  std::size_t passes() const { return stream_.passes(); }
  bool decrypting() const { return stream_.decrypting(); }
  const CipherStream& stream() const { return stream_; }

 private:
  enum class Phase : std::uint8_t { NoRun, Running, Ended, Failed };

  Outcome start_run(bool keys_set);
  // Starts the worker if this run has none waiting for input; false if it
  // cannot start.
  bool ready_worker();
  // Hands the worker `length` bytes at `chunk` (a whole chunk, or the last
  // short one) and runs it until it asks for more; `written` bytes at
  // `chunk` are then its output.
  Outcome run_chunk(std::uint8_t* chunk, std::size_t length, std::size_t& written);
  Outcome end_run(std::uint8_t* chunk, std::size_t length, std::size_t& written);
  Outcome fail(Outcome outcome);
  void release_keys();

  CipherStream stream_;
  Phase phase_ = Phase::NoRun;
  Outcome failure_ = Outcome::Ok;
  // The worker waits for input in this run; false before the first chunk.
  bool worker_ready_ = false;
  std::size_t handed_off_ = 0;
  // hand_off_passes() was called: another thread may use the keys until wipe().
  bool keys_shared_ = false;
  // The bytes of a partial chunk held back in chunk_ by update().
  std::size_t held_ = 0;
  alignas(64) std::array<std::uint8_t, kChunkSize> chunk_;
};

}  // namespace cryptcore
