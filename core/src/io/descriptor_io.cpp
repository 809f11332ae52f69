// SPDX-License-Identifier: Apache-2.0
#include "io/descriptor_io.hpp"

#if !defined(_WIN32)
#include <poll.h>
#endif
#include <unistd.h>

#include <cerrno>

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

}  // namespace

std::optional<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (!should_retry(fd, true)) {
      return std::nullopt;
    }
  }
}

std::optional<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const std::optional<std::size_t> got = read_some(fd, buffer.subspan(filled));
    if (!got) {
      return std::nullopt;
    }
    if (*got == 0) {
      break;
    }
    filled += *got;
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

}  // namespace cryptcore
