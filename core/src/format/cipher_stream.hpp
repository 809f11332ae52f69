// SPDX-License-Identifier: Apache-2.0
// The cipher stream: a worker coroutine that transforms the input chunk by
// chunk with the pass keys, asking its driver for input and for room to write.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "cryptcore/outcome.hpp"
#include "crypto/provider.hpp"
#include "format/key_schedule.hpp"

namespace cryptcore {

// The chunk, the size of each buffer and the room for in-place encryption.
inline constexpr std::size_t kChunkSize = 65536;

// What the worker asks of its driver when it suspends.
enum class YieldCode : std::int32_t { Finished = 0, NeedInput = 1, OutputFull = 2 };

// Why a finished stream stopped early; None when it ran to the end of input.
enum class StreamFailure : std::uint8_t {
  None,
  // A pass failed: bad padding, a ciphertext that is not whole blocks, a
  // provider error, or no keys at all.
  CipherFailed,
  // An input whose padded last chunk would fill a whole chunk: it could not
  // be told from an unpadded chunk when decrypting.
  LengthUnsupported,
};

// How a run that its stream stopped early ends.
constexpr Outcome outcome_of(StreamFailure failure) {
  return failure == StreamFailure::LengthUnsupported ? Outcome::LengthUnsupported
                                                     : Outcome::CipherFailed;
}

using ChunkBuffer = std::span<std::uint8_t, kChunkSize>;

// Order of events: init(), attach() the two buffers, then call resume() until
// it returns Finished. After NeedInput, fill the input buffer and call
// fill_input() (0 bytes means end of input), or hand over a chunk where it
// lies with fill_input_in_place(); after OutputFull, write take_output().
// After Finished, write take_output() (the tail) and check failure(). No call
// in the chunk loop allocates: the worker's frame lives in this object.
class CipherStream {
 public:
  CipherStream() = default;
  ~CipherStream();
  CipherStream(const CipherStream&) = delete;
  CipherStream& operator=(const CipherStream&) = delete;

  // Acquires the provider and derives the pass keys, set up for the
  // direction; false if the provider cannot give SHA-1 and AES-256-CBC.
  bool init(std::string_view passphrase, bool decrypt, KeySchedule schedule);
  // The same with a copy of the pass keys of `keyed`, which must have them.
  bool init_with_keys_of(const CipherStream& keyed, bool decrypt);
  // Resets the worker, empties the input window and opens the whole output
  // buffer as the output window.
  void attach(ChunkBuffer input_buffer, ChunkBuffer output_buffer);
  YieldCode resume();
  // Makes the first `length` bytes of the input buffer the input window.
  void fill_input(std::size_t length);
  // Makes the first `length` bytes of `chunk` the input window and the whole
  // of `chunk` the output window, so that the worker transforms the chunk
  // where it lies, without a copy. The last output must have been taken.
  void fill_input_in_place(ChunkBuffer chunk, std::size_t length);
  // The bytes written to the output buffer so far; empties the output window.
  std::span<const std::uint8_t> take_output();
  StreamFailure failure() const { return failure_; }
  // How many passes the keys run over each chunk, and in which direction.
  std::size_t passes() const { return pass_keys.count; }
  bool decrypting() const { return decrypt; }
  // The pass keys, for a ChunkDecryptor to copy.
  const PassKeys& keys() const { return pass_keys; }

  // After attach(): the worker leaves the last `count` passes (in the order
  // it runs them) of every chunk to run_handed_off_passes(), which another
  // thread may call on the chunks the worker has made while it goes on.
  void hand_off_passes(std::size_t count) { handed_off_ = count; }
  // Runs the handed-off passes on a chunk the worker made, in place; `final`
  // as the worker had it (the chunk came from a short input chunk). False if
  // a pass fails.
  bool run_handed_off_passes(ChunkBuffer chunk, std::size_t& length, bool final);
  // Destroys the pass keys in pass order, then releases the provider.
  void release();

 private:
  class Worker;
  Worker run();
  // Sets every key up for this direction, so that no chunk allocates.
  bool prepare_keys();
  bool transform_chunk(std::size_t& length, bool final);
  // Runs passes `first` to `last` (in the order of this direction) in place.
  bool run_passes(std::size_t first, std::size_t last, std::uint8_t* data, std::size_t& length,
                  std::size_t capacity, bool final);
  void finish_worker();

  // The code of the last yield; 0 (Finished) before the start and at the end.
  std::int32_t state = 0;
  std::uint8_t* in_cur = nullptr;
  std::uint8_t* in_end = nullptr;
  std::uint8_t* out_cur = nullptr;
  std::uint8_t* out_end = nullptr;
  bool decrypt = false;
  Provider provider;
  PassKeys pass_keys;

  ChunkBuffer::pointer input_start_ = nullptr;
  ChunkBuffer::pointer output_start_ = nullptr;
  StreamFailure failure_ = StreamFailure::None;
  std::size_t handed_off_ = 0;

  // Storage for the worker coroutine's frame, so that starting it never
  // touches the heap; the frame is a few hundred bytes.
  static constexpr std::size_t kWorkerFrameSize = 2048;
  alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) std::byte worker_frame_[kWorkerFrameSize];
  std::coroutine_handle<> worker_;
};

}  // namespace cryptcore
