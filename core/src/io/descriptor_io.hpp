// SPDX-License-Identifier: Apache-2.0
// Reading and writing whole buffers on file descriptors, retried when a
// signal interrupts a call and, on a non-blocking descriptor, once it is
// ready: shared by the one-thread loop and the pipeline.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace cryptcore {

// One read into `buffer`: the bytes it gave (0 at the end of input), or
// nullopt on a read error.
std::optional<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer);
// Reads until `buffer` is full or the input ends; nullopt on a read error.
std::optional<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer);
// Writes all of `bytes`; false on a write error.
bool write_all(int fd, std::span<const std::uint8_t> bytes);

#if !defined(_WIN32)
// The positional forms, for a regular file that two threads read or write at
// once, each at places of its own; the descriptor's offset stays where it is.
// Reads from `offset` on into `first`, then `second`, until both are full or
// the input ends: the bytes read, or nullopt on a read error.
std::optional<std::size_t> read_full_at(int fd, std::span<std::uint8_t> first,
                                        std::span<std::uint8_t> second, std::uint64_t offset);
// Writes all of `bytes` from `offset` on; false on a write error.
bool write_all_at(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset);
#endif

// Reads, on one thread, from an input that may keep it waiting for long (a
// pipe, a terminal, a socket), which another thread can end at once: after
// stop(), a read waiting for input returns, and every later one returns at
// once, with nullopt. The reading thread waits in poll() on the input and on
// an eventfd that stop() makes readable. (On Windows a read that has begun
// still waits for its input; only the later ones are not made.)
class StoppableReads {
 public:
  StoppableReads() = default;
  ~StoppableReads();
  StoppableReads(const StoppableReads&) = delete;
  StoppableReads& operator=(const StoppableReads&) = delete;

  // Called on the thread that will read; false if the system gives no means
  // to stop its reads.
  bool prepare();
  // As read_some(), but nullopt also once stop() is called.
  std::optional<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer);
  void stop() noexcept;
  bool stopped() const noexcept { return stopped_.load(); }

 private:
  std::atomic<bool> stopped_{false};
#if !defined(_WIN32)
  // Readable once stop() has been called.
  int wake_fd_ = -1;
#endif
};

}  // namespace cryptcore
