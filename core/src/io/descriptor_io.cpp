// SPDX-License-Identifier: Apache-2.0
#include "io/descriptor_io.hpp"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#endif
#include <unistd.h>

#include <algorithm>
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

#if defined(_WIN32)

// No means was found that ends a read waiting in the C runtime under Wine
// (CancelSynchronousIo does not end a read from an inherited pipe there): a
// read that has begun waits for its input; only the later ones are not made.
StoppableReads::~StoppableReads() = default;

bool StoppableReads::prepare() {
  return true;
}

std::optional<std::size_t> StoppableReads::read_some(int fd, std::span<std::uint8_t> buffer) {
  return stopped_.load() ? std::nullopt : cryptcore::read_some(fd, buffer);
}

void StoppableReads::stop() noexcept {
  stopped_.store(true);
}

#else

std::optional<std::size_t> read_full_at(int fd, std::span<std::uint8_t> first,
                                        std::span<std::uint8_t> second, std::uint64_t offset) {
  std::size_t filled = 0;
  const std::size_t wanted = first.size() + second.size();
  while (filled < wanted) {
    // What is left of each buffer, the first one's rest (if any) first.
    const std::size_t in_first = std::min(filled, first.size());
    const std::size_t in_second = filled - in_first;
    iovec parts[] = {{first.data() + in_first, first.size() - in_first},
                     {second.data() + in_second, second.size() - in_second}};
    const ssize_t got = ::preadv(fd, parts, 2, static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

bool write_all_at(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t put = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

StoppableReads::~StoppableReads() {
  if (wake_fd_ >= 0) {
    ::close(wake_fd_);
  }
}

bool StoppableReads::prepare() {
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return wake_fd_ >= 0;
}

std::optional<std::size_t> StoppableReads::read_some(int fd, std::span<std::uint8_t> buffer) {
  for (;;) {
    // Once poll() finds input the read does not wait (unless another reader
    // of the same pipe takes it first). A hang-up or an error counts as
    // input: the read then reports it.
    pollfd waits[] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (waits[1].revents != 0) {
      return std::nullopt;
    }
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return std::nullopt;
    }
  }
}

void StoppableReads::stop() noexcept {
  stopped_.store(true);
  ::eventfd_write(wake_fd_, 1);
}

#endif

}  // namespace cryptcore
