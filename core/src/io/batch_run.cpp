// SPDX-License-Identifier: Apache-2.0
#include "io/batch_run.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>
#include <utility>

#include "format/chunk_decryptor.hpp"
#include "io/descriptor_io.hpp"
#include "io/helper_thread.hpp"

namespace cryptcore {

namespace {

// A batch fills half of the ring: each thread has one half.
constexpr std::size_t kBatchChunks = kRingChunks / 2;
constexpr std::uint64_t kBatchBytes = kBatchChunks * kChunkSize;
// No batch: none being read, no end or failure met yet.
constexpr std::uint64_t kNoBatch = std::numeric_limits<std::uint64_t>::max();

}  // namespace

class BatchRun {
 public:
  BatchRun(int input_fd, int output_fd, ChunkRing& ring, WriteFence& fence, ProgressMeter& progress)
      : input_fd_(input_fd),
        output_fd_(output_fd),
        fence_(fence),
        progress_(progress),
        lanes_{Lane{std::span(ring.slots_).first(kBatchChunks * kChunkSize), false},
               Lane{std::span(ring.slots_).last(kBatchChunks * kChunkSize), true}} {}

  std::optional<Outcome> run(const IncrementalState& cipher);

 private:
  // One thread's share of the run.
  struct Lane {
    Lane(std::span<std::uint8_t> slots, bool on_helper) : buffer(slots), helper(on_helper) {}
    ChunkDecryptor decryptor;
    std::span<std::uint8_t> buffer;
    std::array<std::uint8_t, ChunkDecryptor::kMaxLeadSize> lead{};
    // On the helper thread: its writes go through the fence, and the
    // calling thread tells the progress meter what it reads.
    const bool helper;
    // The batch it is reading, guarded by mutex_.
    std::uint64_t reading = kNoBatch;
  };

  static void* helper_main(void* run);
  void work(Lane& lane);
  // Takes the next batch for `lane`; false once no more are needed.
  bool claim(Lane& lane, std::uint64_t& batch);
  // Records that `batch` read `length` bytes of its own (or failed to read).
  void record_read(Lane& lane, std::uint64_t batch, bool read, std::size_t length);
  // Waits until every batch before `batch` has been read; false if `batch`
  // then lies after the end of the input or a failure.
  bool wait_turn(const Lane& lane, std::uint64_t batch);
  bool write(const Lane& lane, std::span<const std::uint8_t> bytes, std::uint64_t at);
  // With mutex_ held: `batch` failed with `outcome`; the first failure in
  // the file counts.
  void fail(std::uint64_t batch, Outcome outcome);
  // Once both threads are done: the outcome, with the output cut back after
  // a failure and both offsets set.
  Outcome finish();

  const int input_fd_;
  const int output_fd_;
  WriteFence& fence_;
  ProgressMeter& progress_;
  std::array<Lane, 2> lanes_;
  std::uint64_t input_start_ = 0;
  std::uint64_t output_start_ = 0;

  std::mutex mutex_;
  std::condition_variable read_done_;
  // Guarded by mutex_: the next batch to take; the batch in which the input
  // ends (the first read short of a whole batch) and what it read; the first
  // batch that failed and how; the helper's bytes the meter has not been
  // told; the furthest batch written and where the output's bytes end.
  std::uint64_t next_ = 0;
  std::uint64_t end_ = kNoBatch;
  std::size_t end_length_ = 0;
  std::uint64_t failed_ = kNoBatch;
  Outcome failure_ = Outcome::Ok;
  std::uint64_t untold_ = 0;
  std::uint64_t last_written_ = kNoBatch;
  std::uint64_t written_end_ = 0;
};

std::optional<Outcome> BatchRun::run(const IncrementalState& cipher) {
  const off_t input_start = ::lseek(input_fd_, 0, SEEK_CUR);
  const off_t output_start = ::lseek(output_fd_, 0, SEEK_CUR);
  if (input_start < 0 || output_start < 0) {
    return std::nullopt;
  }
  input_start_ = static_cast<std::uint64_t>(input_start);
  output_start_ = static_cast<std::uint64_t>(output_start);
  for (Lane& lane : lanes_) {
    if (!lane.decryptor.init(cipher.stream())) {
      return std::nullopt;
    }
  }
  {
    // Started once the keys are set and the passphrase wiped: the new thread
    // inherits none of it.
    HelperThread helper;
    if (!helper.start(&BatchRun::helper_main, this)) {
      return std::nullopt;
    }
    work(lanes_[0]);
  }
  return finish();
}

void* BatchRun::helper_main(void* run) {
  BatchRun& self = *static_cast<BatchRun*>(run);
  self.work(self.lanes_[1]);
  return nullptr;
}

void BatchRun::work(Lane& lane) {
  std::uint64_t batch = 0;
  while (claim(lane, batch)) {
    const std::uint64_t start = batch * kBatchBytes;
    // The first batch starts from the IVs; every other one from the
    // ciphertext just before it.
    const std::span<std::uint8_t> lead(lane.lead.data(),
                                       batch == 0 ? 0 : lane.decryptor.lead_size());
    const std::optional<std::size_t> got =
        read_full_at(input_fd_, lead, lane.buffer, input_start_ + start - lead.size());
    // A lead cut short means the input ended before this batch.
    const std::size_t length = got && *got > lead.size() ? *got - lead.size() : 0;
    record_read(lane, batch, got.has_value(), length);
    if (!got) {
      continue;
    }
    if (!lane.helper) {
      std::uint64_t told = length;
      {
        std::lock_guard lock(mutex_);
        told += std::exchange(untold_, 0);
      }
      if (!progress_.advance(told)) {
        std::lock_guard lock(mutex_);
        fail(batch, Outcome::Cancelled);
        continue;
      }
    }
    // An empty batch ends the input with nothing left to decrypt.
    std::size_t plain = length;
    if (length != 0 &&
        !lane.decryptor.decrypt(lead, lane.buffer.data(), plain, length < kBatchBytes)) {
      std::lock_guard lock(mutex_);
      fail(batch, Outcome::CipherFailed);
      continue;
    }
    if (!wait_turn(lane, batch)) {
      continue;
    }
    const bool wrote = write(lane, lane.buffer.first(plain), output_start_ + start);
    std::lock_guard lock(mutex_);
    if (!wrote) {
      fail(batch, Outcome::WriteFailed);
    } else {
      last_written_ = last_written_ == kNoBatch ? batch : std::max(last_written_, batch);
      written_end_ = std::max(written_end_, start + plain);
    }
  }
}

bool BatchRun::claim(Lane& lane, std::uint64_t& batch) {
  std::lock_guard lock(mutex_);
  // Nothing after the end of the input or the first failure is needed.
  if (end_ != kNoBatch && next_ > end_) {
    return false;
  }
  if (failed_ != kNoBatch && next_ > failed_) {
    return false;
  }
  batch = next_++;
  lane.reading = batch;
  return true;
}

void BatchRun::record_read(Lane& lane, std::uint64_t batch, bool read, std::size_t length) {
  std::lock_guard lock(mutex_);
  lane.reading = kNoBatch;
  if (!read) {
    fail(batch, Outcome::ReadFailed);
  } else if (length < kBatchBytes && (end_ == kNoBatch || batch < end_)) {
    end_ = batch;
    end_length_ = length;
  }
  if (read && lane.helper) {
    untold_ += length;
  }
  read_done_.notify_all();
}

bool BatchRun::wait_turn(const Lane& lane, std::uint64_t batch) {
  const Lane& other = &lane == &lanes_[0] ? lanes_[1] : lanes_[0];
  std::unique_lock lock(mutex_);
  // Batches are taken in order, so the only one before this that may not
  // have been read is the one the other thread is reading.
  read_done_.wait(lock, [&] { return other.reading == kNoBatch || other.reading > batch; });
  return (end_ == kNoBatch || batch <= end_) && (failed_ == kNoBatch || batch < failed_);
}

bool BatchRun::write(const Lane& lane, std::span<const std::uint8_t> bytes, std::uint64_t at) {
  if (!lane.helper) {
    return write_all_at(output_fd_, bytes, at);
  }
  return fence_.write([&] { return write_all_at(output_fd_, bytes, at); });
}

void BatchRun::fail(std::uint64_t batch, Outcome outcome) {
  if (failed_ == kNoBatch || batch < failed_) {
    failed_ = batch;
    failure_ = outcome;
  }
}

Outcome BatchRun::finish() {
  // Nothing here is shared any more. A failure after the end of the input
  // (the input grew as it was read) does not count.
  Outcome outcome = Outcome::Ok;
  std::uint64_t input_end = end_ * kBatchBytes + end_length_;
  std::uint64_t output_end = written_end_;
  if (failed_ != kNoBatch && (end_ == kNoBatch || failed_ <= end_)) {
    outcome = failure_;
    input_end = output_end = failed_ * kBatchBytes;
    // A later batch may have been written before this one failed to be: it
    // is cut off, or if it cannot be, the offset goes after it.
    if (last_written_ != kNoBatch && last_written_ > failed_ &&
        ::ftruncate(output_fd_, static_cast<off_t>(output_start_ + output_end)) != 0) {
      output_end = written_end_;
    }
  } else if (untold_ != 0 && !progress_.advance(untold_)) {
    outcome = Outcome::Cancelled;
  }
  ::lseek(input_fd_, static_cast<off_t>(input_start_ + input_end), SEEK_SET);
  ::lseek(output_fd_, static_cast<off_t>(output_start_ + output_end), SEEK_SET);
  return outcome;
}

std::optional<Outcome> serve_in_batches(IncrementalState& cipher, int input_fd, int output_fd,
                                        ChunkRing& ring, WriteFence& fence,
                                        ProgressMeter& progress) {
  BatchRun run(input_fd, output_fd, ring, fence, progress);
  return run.run(cipher);
}

}  // namespace cryptcore
