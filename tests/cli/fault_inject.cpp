// SPDX-License-Identifier: Apache-2.0
// Fault injection for the driver tests, loaded into a program with LD_PRELOAD.
// It wraps read(), write() and close() on every descriptor but standard error
// (the programs' input and output, inherited standard streams included), and
// injects the faults the environment asks for, counting bytes per open
// descriptor (so a configuration file that a library reads on the side does
// not use up the input's share):
//   CRYPTCORE_FAULT_READ_AFTER=N   reads from a descriptor hand out N bytes,
//                                  then fail with EIO (a read error
//                                  mid-stream);
//   CRYPTCORE_FAULT_WRITE_AFTER=N  writes to a descriptor take N bytes (the
//                                  last one short), then fail with ENOSPC (a
//                                  disk that fills up mid-file);
//                                  Positional reads and writes (preadv(),
//                                  pwrite()) fail the same way from offset N
//                                  on, as a bad block or a full disk there;
//   CRYPTCORE_FAULT_CLOSE=1        closing a descriptor that was written to
//                                  closes it but reports EIO (as NFS or a
//                                  quota may report a failed write only then);
//   CRYPTCORE_FAULT_SIGNAL=N       the first open that creates a file (named
//                                  or not), or the first truncation, raises
//                                  signal N once it is done (as if another
//                                  process sent it right then);
//   CRYPTCORE_FAULT_NO_TMPFILE=1   an open of a file without a name
//                                  (O_TMPFILE) fails with EOPNOTSUPP, as on a
//                                  file system that has none;
//   CRYPTCORE_FAULT_NO_FLINK=1     linking a descriptor (linkat with
//                                  AT_EMPTY_PATH) fails with ENOENT, as it
//                                  does without CAP_DAC_READ_SEARCH before
//                                  Linux 6.10;
//   CRYPTCORE_FAULT_SYNC=CALL      CALL, fdatasync or fsync, fails with EIO (a
//                                  disk that fails to store the data).
//   CRYPTCORE_FAULT_SIGNAL_AT_CLOSE=N  closing a descriptor that was written
//                                  to raises signal N once the close is done
//                                  (as if sent right as the output became
//                                  complete).
// Without these variables every call passes straight through.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using PreadvFn = ssize_t (*)(int, const iovec*, int, off_t);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
using CloseFn = int (*)(int);
using OpenatFn = int (*)(int, const char*, int, ...);
using FtruncateFn = int (*)(int, off_t);
using LinkatFn = int (*)(int, const char*, int, const char*, int);
using SyncFn = int (*)(int);

constexpr int kTrackedFds = 1024;

long long limit_from(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr || *value == '\0' ? -1 : std::atoll(value);
}

// The limits, negative when unlimited, and what each descriptor has moved.
long long read_limit = -2;
long long write_limit = -2;
long long read_so_far[kTrackedFds];
long long written_so_far[kTrackedFds];
bool written[kTrackedFds];

void load_limits() {
  if (read_limit == -2) {
    read_limit = limit_from("CRYPTCORE_FAULT_READ_AFTER");
    write_limit = limit_from("CRYPTCORE_FAULT_WRITE_AFTER");
  }
}

template <typename Fn>
Fn next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// How many of `count` bytes may move when `so_far` have and `limit` may;
// -1 when none may and the call must fail.
long long allowed(long long limit, long long so_far, size_t count) {
  if (limit < 0) {
    return static_cast<long long>(count);
  }
  const long long left = limit > so_far ? limit - so_far : 0;
  if (left == 0 && count > 0) {
    return -1;
  }
  return static_cast<unsigned long long>(left) < count ? left : static_cast<long long>(count);
}

bool enabled(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '1';
}

// Whether CRYPTCORE_FAULT_SYNC names `call`.
bool sync_fails(const char* call) {
  const char* value = std::getenv("CRYPTCORE_FAULT_SYNC");
  return value != nullptr && std::strcmp(value, call) == 0;
}

bool injected(int fd) {
  return fd >= 0 && fd != STDERR_FILENO && fd < kTrackedFds;
}

// Raises the signal that `variable` names the first time it is called for it.
template <const char* variable>
void raise_configured_signal() {
  static bool raised = false;
  const long long signal = limit_from(variable);
  if (!raised && signal > 0) {
    raised = true;
    std::raise(static_cast<int>(signal));
  }
}
constexpr char kSignalAtOpen[] = "CRYPTCORE_FAULT_SIGNAL";
constexpr char kSignalAtClose[] = "CRYPTCORE_FAULT_SIGNAL_AT_CLOSE";

// The positional calls: the limit is an offset, so that threads reading or
// writing one descriptor at places of their own meet it where one would. The
// limits are read once, in a thread-safe static, as two threads may call.
ssize_t positional_read(PreadvFn real_preadv, int fd, const iovec* parts, int count, off_t offset) {
  static const long long limit = limit_from("CRYPTCORE_FAULT_READ_AFTER");
  if (!injected(fd) || limit < 0) {
    return real_preadv(fd, parts, count, offset);
  }
  // The parts, cut off at the limit.
  constexpr int kMaxParts = 8;
  iovec kept_parts[kMaxParts];
  int kept = 0;
  long long room = limit > offset ? limit - offset : 0;
  for (; kept < count && kept < kMaxParts && room > 0; ++kept) {
    kept_parts[kept] = parts[kept];
    if (static_cast<long long>(parts[kept].iov_len) > room) {
      kept_parts[kept].iov_len = static_cast<size_t>(room);
    }
    room -= static_cast<long long>(kept_parts[kept].iov_len);
  }
  if (kept == 0) {
    errno = EIO;
    return -1;
  }
  return real_preadv(fd, kept_parts, kept, offset);
}

ssize_t positional_write(PwriteFn real_pwrite, int fd, const void* buffer, size_t count,
                         off_t offset) {
  static const long long limit = limit_from("CRYPTCORE_FAULT_WRITE_AFTER");
  if (!injected(fd)) {
    return real_pwrite(fd, buffer, count, offset);
  }
  __atomic_store_n(&written[fd], true, __ATOMIC_RELAXED);
  const long long may = allowed(limit, offset, count);
  if (may < 0) {
    errno = ENOSPC;
    return -1;
  }
  return real_pwrite(fd, buffer, static_cast<size_t>(may), offset);
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  static const ReadFn real_read = next<ReadFn>("read");
  load_limits();
  if (!injected(fd)) {
    return real_read(fd, buffer, count);
  }
  const long long may = allowed(read_limit, read_so_far[fd], count);
  if (may < 0) {
    errno = EIO;
    return -1;
  }
  const ssize_t got = real_read(fd, buffer, static_cast<size_t>(may));
  if (got > 0) {
    read_so_far[fd] += got;
  }
  return got;
}

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  static const WriteFn real_write = next<WriteFn>("write");
  load_limits();
  if (!injected(fd)) {
    return real_write(fd, buffer, count);
  }
  written[fd] = true;
  const long long may = allowed(write_limit, written_so_far[fd], count);
  if (may < 0) {
    errno = ENOSPC;
    return -1;
  }
  const ssize_t put = real_write(fd, buffer, static_cast<size_t>(may));
  if (put > 0) {
    written_so_far[fd] += put;
  }
  return put;
}

extern "C" ssize_t preadv(int fd, const iovec* parts, int count, off_t offset) {
  static const PreadvFn real = next<PreadvFn>("preadv");
  return positional_read(real, fd, parts, count, offset);
}

extern "C" ssize_t preadv64(int fd, const iovec* parts, int count, off_t offset) {
  static const PreadvFn real = next<PreadvFn>("preadv64");
  return positional_read(real, fd, parts, count, offset);
}

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  static const PwriteFn real = next<PwriteFn>("pwrite");
  return positional_write(real, fd, buffer, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
  static const PwriteFn real = next<PwriteFn>("pwrite64");
  return positional_write(real, fd, buffer, count, offset);
}

extern "C" int close(int fd) {
  static const CloseFn real_close = next<CloseFn>("close");
  const bool was_written = injected(fd) && written[fd];
  if (injected(fd)) {
    written[fd] = false;
    read_so_far[fd] = 0;
    written_so_far[fd] = 0;
  }
  const int result = real_close(fd);
  if (result == 0 && was_written) {
    raise_configured_signal<kSignalAtClose>();
  }
  if (result == 0 && was_written && enabled("CRYPTCORE_FAULT_CLOSE")) {
    errno = EIO;
    return -1;
  }
  return result;
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
  static const OpenatFn real_openat = next<OpenatFn>("openat");
  mode_t mode = 0;
  const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
  const bool creates = unnamed || (flags & O_CREAT) != 0;
  if (unnamed && enabled("CRYPTCORE_FAULT_NO_TMPFILE")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (creates) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  const int fd = real_openat(folder, path, flags, mode);
  if (fd >= 0 && creates) {
    const int error = errno;
    raise_configured_signal<kSignalAtOpen>();
    errno = error;
  }
  return fd;
}

extern "C" int ftruncate(int fd, off_t length) {
  static const FtruncateFn real_ftruncate = next<FtruncateFn>("ftruncate");
  const int result = real_ftruncate(fd, length);
  if (result == 0) {
    raise_configured_signal<kSignalAtOpen>();
  }
  return result;
}

extern "C" int linkat(int folder, const char* path, int new_folder, const char* new_path,
                      int flags) {
  static const LinkatFn real_linkat = next<LinkatFn>("linkat");
  if ((flags & AT_EMPTY_PATH) != 0 && enabled("CRYPTCORE_FAULT_NO_FLINK")) {
    errno = ENOENT;
    return -1;
  }
  return real_linkat(folder, path, new_folder, new_path, flags);
}

extern "C" int fdatasync(int fd) {
  static const SyncFn real_fdatasync = next<SyncFn>("fdatasync");
  if (sync_fails("fdatasync")) {
    errno = EIO;
    return -1;
  }
  return real_fdatasync(fd);
}

extern "C" int fsync(int fd) {
  static const SyncFn real_fsync = next<SyncFn>("fsync");
  if (sync_fails("fsync")) {
    errno = EIO;
    return -1;
  }
  return real_fsync(fd);
}
