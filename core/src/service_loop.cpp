// SPDX-License-Identifier: Apache-2.0
#include "service_loop.hpp"

#if !defined(_WIN32)
#include <poll.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace cryptcore {

namespace {

// Whether a failed call should be made again: after a signal, or once a
// non-blocking descriptor is ready for it.
bool should_retry(int fd, bool reading) {
  if (errno == EINTR) {
    return true;
  }
#if defined(_WIN32)
  // The C runtime's descriptors on Windows are never non-blocking.
  (void)fd;
  (void)reading;
  return false;
#else
  if (errno != EAGAIN && errno != EWOULDBLOCK) {
    return false;
  }
  pollfd waiting{fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
  while (::poll(&waiting, 1, -1) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
#endif
}

// Reads until `buffer` is full or the input ends; nullopt on a read error.
std::optional<std::size_t> read_chunk(int fd, ChunkBuffer buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (got == 0) {
      break;
    }
    if (got < 0) {
      if (should_retry(fd, true)) {
        continue;
      }
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0) {
      if (should_retry(fd, false)) {
        continue;
      }
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

Outcome serve(CipherStream& stream, int input_fd, int output_fd, ChunkBuffer input_buffer,
              ChunkBuffer output_buffer) {
  stream.attach(input_buffer, output_buffer);
  // Once a read comes back short the input has ended; it is not read again,
  // so nothing can follow the final chunk.
  bool input_ended = false;
  for (;;) {
    switch (stream.resume()) {
      case YieldCode::NeedInput: {
        std::size_t length = 0;
        if (!input_ended) {
          const std::optional<std::size_t> got = read_chunk(input_fd, input_buffer);
          if (!got) {
            return Outcome::ReadFailed;
          }
          length = *got;
          input_ended = length < kChunkSize;
        }
        stream.fill_input(length);
        break;
      }
      case YieldCode::OutputFull:
        if (!write_all(output_fd, stream.take_output())) {
          return Outcome::WriteFailed;
        }
        break;
      case YieldCode::Finished:
        switch (stream.failure()) {
          case StreamFailure::None:
            return write_all(output_fd, stream.take_output()) ? Outcome::Ok : Outcome::WriteFailed;
          case StreamFailure::CipherFailed:
            return Outcome::CipherFailed;
          case StreamFailure::LengthUnsupported:
            return Outcome::LengthUnsupported;
        }
        return Outcome::CipherFailed;
    }
  }
}

}  // namespace cryptcore
