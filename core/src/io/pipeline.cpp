// SPDX-License-Identifier: Apache-2.0
#include "io/pipeline.hpp"

#include <algorithm>
#include <span>

#if !defined(_WIN32)
#include "io/batch_run.hpp"
#endif
#include "io/descriptor_io.hpp"
#include "io/helper_thread.hpp"
#include "io/layout.hpp"

namespace cryptcore {

constexpr std::uint64_t kRingBytes = kRingChunks * kChunkSize;

// One run through the ring. The calling thread gives the cipher its chunks
// in order, as the one-thread loop does; the helper follows it. Whatever
// fails, the run ends as the one-thread loop would: a failure takes effect at
// its place in the order of chunks (a read error once the chunks read before
// it are written, a failed final chunk once those before it are written), and
// a write error, which comes before anything later, stops both threads.
class Pipeline {
 public:
  Pipeline(IncrementalState& cipher, int input_fd, int output_fd, ChunkRing& ring,
           WriteFence& fence, Layout layout, ProgressMeter& progress)
      : cipher_(cipher),
        input_fd_(input_fd),
        output_fd_(output_fd),
        ring_(ring),
        progress_(ring.progress_),
        fence_(fence),
        layout_(layout),
        progress_meter_(progress) {}

  std::optional<Outcome> run();

 private:
  // What comes of reading the cipher's next chunk.
  enum class Next { Chunk, End, ReadFailed, Stopped };
  struct Input {
    Next next;
    std::size_t length = 0;
  };

  ChunkBuffer slot(std::uint64_t chunk) {
    return ChunkBuffer(ring_.slots_.data() + chunk % kRingChunks * kChunkSize, kChunkSize);
  }
  bool helper_failed() const { return progress_.write_failed || progress_.pass_failed; }

  // The calling thread.
  Input wait_for_read(std::uint64_t chunk);
  Input read_here(std::uint64_t chunk);
  bool publish_made(std::uint64_t made);
  void publish_done(bool has_tail, std::size_t tail_length);

  // The helper.
  static void* helper_main(void* pipeline);
  bool help();
  void read_ahead(std::unique_lock<std::mutex>& lock);
  void write_made(std::unique_lock<std::mutex>& lock, std::uint64_t count);
  void write_tail(std::unique_lock<std::mutex>& lock);

  bool write_out(std::span<const std::uint8_t> bytes);

  // Either thread, whichever reads.
  std::optional<std::size_t> read_once(std::uint64_t room_end);

  IncrementalState& cipher_;
  const int input_fd_;
  const int output_fd_;
  ChunkRing& ring_;
  ChunkRing::Progress& progress_;
  // Keeps the helper's writes to a regular file out of a taken-back output.
  WriteFence& fence_;
  const Layout layout_;
  // The calling thread's reads, when the input may keep it waiting.
  StoppableReads input_reads_;
  ProgressMeter& progress_meter_;
  // Owned by the reading thread: the bytes read so far, and whether the
  // input has ended.
  std::uint64_t bytes_read_ = 0;
  bool input_ended_ = false;
};

std::optional<Outcome> Pipeline::run() {
  progress_ = {};
  if (layout_.input_may_wait && !input_reads_.prepare()) {
    return std::nullopt;
  }
  // Started only now: the keys are set and the passphrase, registers and
  // stack that held it wiped, so the new thread inherits none of it.
  HelperThread helper;
  if (!helper.start(&Pipeline::helper_main, this)) {
    return std::nullopt;
  }
  // Handed off once the helper runs, so that the one-thread loop, should the
  // thread not start, still runs every pass; the helper takes none before
  // the first chunk is made.
  cipher_.hand_off_passes(layout_.helper_passes);

  std::uint64_t chunk = 0;  // the chunk the cipher makes next
  bool has_tail = false;
  std::size_t tail_length = 0;
  Outcome outcome = Outcome::Ok;
  for (bool working = true; working;) {
    const Input input = layout_.helper_reads ? wait_for_read(chunk) : read_here(chunk);
    switch (input.next) {
      case Next::Chunk:
        // Told on this thread; a stop ends the run as a read failure would.
        if (!progress_meter_.advance(input.length)) {
          outcome = Outcome::Cancelled;
          working = false;
        } else if (input.length == kChunkSize) {
          // A whole chunk, made in its slot.
          outcome = cipher_.update_in_place(slot(chunk));
          working = outcome == Outcome::Ok && publish_made(++chunk);
        } else {
          // A short chunk: the input has ended.
          outcome = cipher_.finish_in_place(slot(chunk), input.length, tail_length);
          has_tail = outcome == Outcome::Ok;
          working = false;
        }
        break;
      case Next::End:
        outcome = cipher_.finish_in_place(slot(chunk), 0, tail_length);
        working = false;
        break;
      case Next::ReadFailed:
        outcome = Outcome::ReadFailed;
        working = false;
        break;
      case Next::Stopped:
        working = false;
        break;
    }
  }
  publish_done(has_tail, tail_length);
  helper.join();
  if (progress_.write_failed) {
    return Outcome::WriteFailed;
  }
  return progress_.pass_failed ? Outcome::CipherFailed : outcome;
}

Pipeline::Input Pipeline::wait_for_read(std::uint64_t chunk) {
  std::unique_lock lock(ring_.mutex_);
  for (;;) {
    if (helper_failed()) {
      return {Next::Stopped};
    }
    if (progress_.filled > chunk) {
      return {Next::Chunk, kChunkSize};
    }
    if (progress_.read_failed) {
      return {Next::ReadFailed};
    }
    if (progress_.input_ended) {
      return progress_.final_length > 0 ? Input{Next::Chunk, progress_.final_length}
                                        : Input{Next::End};
    }
    progress_.caller_waiting = true;
    ring_.caller_wake_.wait(lock);
    progress_.caller_waiting = false;
  }
}

Pipeline::Input Pipeline::read_here(std::uint64_t chunk) {
  for (;;) {
    const std::uint64_t chunk_start = chunk * kChunkSize;
    if (bytes_read_ >= chunk_start + kChunkSize) {
      return {Next::Chunk, kChunkSize};
    }
    if (input_ended_) {
      const std::size_t length = static_cast<std::size_t>(bytes_read_ - chunk_start);
      return length > 0 ? Input{Next::Chunk, length} : Input{Next::End};
    }
    // The rest of this chunk goes into its slot, once that has been written.
    std::uint64_t room_end = 0;
    {
      std::unique_lock lock(ring_.mutex_);
      while (!helper_failed() && progress_.written + kRingChunks <= chunk) {
        progress_.caller_waiting = true;
        ring_.caller_wake_.wait(lock);
        progress_.caller_waiting = false;
      }
      if (helper_failed()) {
        return {Next::Stopped};
      }
      room_end = progress_.written + kRingChunks;
    }
    const std::optional<std::size_t> got = read_once(room_end);
    if (!got) {
      return {input_reads_.stopped() ? Next::Stopped : Next::ReadFailed};
    }
    input_ended_ = *got == 0;
  }
}

std::optional<std::size_t> Pipeline::read_once(std::uint64_t room_end) {
  // At most kChunksPerCall chunks from the one being read, within the free
  // slots and short of the end of the ring.
  const std::uint64_t chunk = bytes_read_ / kChunkSize;
  const std::uint64_t end = std::min({(chunk + kChunksPerCall) * kChunkSize, room_end * kChunkSize,
                                      (bytes_read_ / kRingBytes + 1) * kRingBytes});
  const std::span<std::uint8_t> into(ring_.slots_.data() + bytes_read_ % kRingBytes,
                                     static_cast<std::size_t>(end - bytes_read_));
  const std::optional<std::size_t> got =
      layout_.input_may_wait ? input_reads_.read_some(input_fd_, into) : read_some(input_fd_, into);
  if (got) {
    bytes_read_ += *got;
  }
  return got;
}

bool Pipeline::publish_made(std::uint64_t made) {
  std::unique_lock lock(ring_.mutex_);
  progress_.made = made;
  if (progress_.helper_waiting && made >= progress_.helper_wants_made) {
    ring_.helper_wake_.notify_one();
  }
  return !helper_failed();
}

void Pipeline::publish_done(bool has_tail, std::size_t tail_length) {
  std::unique_lock lock(ring_.mutex_);
  progress_.worker_done = true;
  progress_.has_tail = has_tail;
  progress_.tail_length = tail_length;
  ring_.helper_wake_.notify_one();
}

void* Pipeline::helper_main(void* pipeline) {
  Pipeline& self = *static_cast<Pipeline*>(pipeline);
  if (!self.help() && self.layout_.input_may_wait) {
    // The run has failed: the calling thread must not go on waiting for
    // input, which may be long to come.
    self.input_reads_.stop();
  }
  return nullptr;
}

// Writes what the worker has made, in batches, and reads ahead into the
// free slots in between, until the worker is done and all it made is out
// (true) or something fails here (false).
bool Pipeline::help() {
  std::unique_lock lock(ring_.mutex_);
  while (!helper_failed()) {
    const std::uint64_t ready = progress_.made - progress_.written;
    if (ready >= layout_.write_batch || (ready > 0 && progress_.worker_done)) {
      // Up to the end of the ring; one at a time where chunks are not
      // gathered, so that none waits for the passes on the next.
      const std::uint64_t contiguous = kRingChunks - progress_.written % kRingChunks;
      write_made(lock, std::min(ready, layout_.write_batch == 1 ? 1 : contiguous));
      continue;
    }
    if (progress_.worker_done) {
      // All it made is out: only a final short chunk is left, if any.
      if (progress_.has_tail) {
        write_tail(lock);
      }
      return !helper_failed();
    }
    // bytes_read_ is the helper's only when it reads.
    if (layout_.helper_reads && !progress_.input_ended && !progress_.read_failed &&
        bytes_read_ < (progress_.written + kRingChunks) * kChunkSize) {
      read_ahead(lock);
      continue;
    }
    progress_.helper_waiting = true;
    progress_.helper_wants_made = progress_.written + layout_.write_batch;
    ring_.helper_wake_.wait(lock);
    progress_.helper_waiting = false;
  }
  return false;
}

void Pipeline::read_ahead(std::unique_lock<std::mutex>& lock) {
  const std::uint64_t room_end = progress_.written + kRingChunks;
  lock.unlock();
  const std::optional<std::size_t> got = read_once(room_end);
  lock.lock();
  progress_.filled = bytes_read_ / kChunkSize;
  if (!got) {
    progress_.read_failed = true;
  } else if (*got == 0) {
    progress_.input_ended = true;
    progress_.final_length = static_cast<std::size_t>(bytes_read_ % kChunkSize);
  }
  if (progress_.caller_waiting) {
    ring_.caller_wake_.notify_one();
  }
}

void Pipeline::write_made(std::unique_lock<std::mutex>& lock, std::uint64_t count) {
  const std::uint64_t first = progress_.written;
  lock.unlock();
  // The handed-off passes, chunk by chunk; the chunks before one that
  // fails are still written, as the one-thread loop would have.
  std::uint64_t passed = 0;
  for (; passed < count; ++passed) {
    std::size_t length = kChunkSize;
    if (!cipher_.run_handed_off_passes(slot(first + passed), length, false) ||
        length != kChunkSize) {
      break;
    }
  }
  const bool wrote =
      write_out(std::span<const std::uint8_t>(slot(first).data(), passed * kChunkSize));
  lock.lock();
  progress_.written += wrote ? passed : 0;
  progress_.write_failed = !wrote;
  progress_.pass_failed = wrote && passed < count;
  if (progress_.caller_waiting) {
    ring_.caller_wake_.notify_one();
  }
}

void Pipeline::write_tail(std::unique_lock<std::mutex>& lock) {
  std::size_t length = progress_.tail_length;
  const ChunkBuffer tail = slot(progress_.made);
  lock.unlock();
  const bool passed = cipher_.run_handed_off_passes(tail, length, true);
  const bool wrote = passed && write_out(std::span(tail.data(), length));
  lock.lock();
  progress_.pass_failed = !passed;
  progress_.write_failed = passed && !wrote;
}

bool Pipeline::write_out(std::span<const std::uint8_t> bytes) {
  // A device or pipe is left alone when the output is taken back, and a
  // write to it may wait for its reader: not fenced.
  if (!layout_.file_output) {
    return write_all(output_fd_, bytes);
  }
  return fence_.write([&] { return write_all(output_fd_, bytes); });
}

std::optional<Outcome> serve_pipelined(IncrementalState& cipher, int input_fd, int output_fd,
                                       ChunkRing& ring, WriteFence& fence,
                                       ProgressMeter& progress) {
  const std::optional<Layout> layout = choose_layout(cipher, input_fd, output_fd);
  if (!layout) {
    return std::nullopt;
  }
#if !defined(_WIN32)
  if (layout->batches) {
    return serve_in_batches(cipher, input_fd, output_fd, ring, fence, progress);
  }
#endif
  Pipeline pipeline(cipher, input_fd, output_fd, ring, fence, *layout, progress);
  return pipeline.run();
}

}  // namespace cryptcore
