// SPDX-License-Identifier: Apache-2.0
// The files of a run over POSIX descriptors, found again through the folder
// that holds the output. A new output is made without a name and linked into
// place only once the run has succeeded, so that a run that dies leaves none.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/files.hpp"
#include "files/files_linux_checks.hpp"

namespace cryptcore {

namespace {

// What a new output gets at most, before the umask: what fopen's "wb" gives.
constexpr mode_t kNewFileMode = 0666;
// How many symbolic links one output path may go through, as the kernel allows.
constexpr int kMaxLinkHops = 40;

// Whether a last path component names a folder rather than a file in one.
bool names_folder(const char* name) {
  return name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Shortens the file behind `fd` to `length` bytes if it is longer.
bool cut_back(int fd, off_t length) {
  struct stat now {};
  return ::fstat(fd, &now) == 0 && (now.st_size <= length || ::ftruncate(fd, length) == 0);
}

// Puts a file's data on disk. A file that cannot be synced (on a file system
// that has no such thing: EINVAL or EROFS) counts as synced, as there is
// nothing more to do, here and for the folder below.
bool sync_data(int fd) {
  return ::fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS;
}

// Puts a new name in `folder` on disk. The folder is held only as a path
// (O_PATH), which cannot be synced: it is opened for reading, and where the
// run may not read it the whole file system of `file` is synced instead.
bool sync_folder(int folder, int file) {
  Descriptor readable;
  readable.own(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.get() < 0) {
    return errno == EACCES && ::syncfs(file) == 0;
  }
  return ::fsync(readable.get()) == 0 || errno == EINVAL || errno == EROFS;
}

// "/proc/self/fd/N": the path through which a file without a name is reached.
void proc_fd_path(int fd, char (&path)[32]) {
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

}  // namespace

bool InputFile::open(const char* path) {
  if (names_stream(path, "/dev/stdin", "/dev/fd/0")) {
    fd_.borrow(STDIN_FILENO);
  } else {
    fd_.own(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  }
  if (fd_.get() < 0 || ::fstat(fd_.get(), &status_) != 0 || S_ISDIR(status_.st_mode)) {
    fd_.close();
    return false;
  }
  backing_ = loop_backing(fd_.get(), status_);
  return true;
}

bool OutputFile::open(const char* path, const InputFile& input) {
  const struct stat& input_status = input.status();
  if (names_stream(path, "/dev/stdout", "/dev/fd/1")) {
    fd_.borrow(STDOUT_FILENO);
  } else if (!open_by_path(path, input,
                           S_ISREG(input_status.st_mode) ? (input_status.st_mode & kNewFileMode)
                                                         : kNewFileMode)) {
    return false;
  }
  const int fd = fd_.get();
  bool ok = ::fstat(fd, &status_) == 0 &&
            !overwrites(status_, loop_backing(fd, status_), input_status, input.backing_);
  if (ok && S_ISREG(status_.st_mode)) {
    if (fd_.borrowed()) {
      // Appending, the run's bytes go after what the file holds; otherwise
      // they start at the inherited offset. A failure cuts back no further
      // than the file's length now, which the run did not write.
      const int flags = ::fcntl(fd, F_GETFL);
      appending_ = flags >= 0 && (flags & O_APPEND) != 0;
      start_ = appending_ ? status_.st_size : ::lseek(fd, 0, SEEK_CUR);
      floor_ = start_ > status_.st_size ? start_ : status_.st_size;
      ok = flags >= 0 && start_ >= 0;
    } else if (status_.st_size > 0) {
      // Emptied only now that it is known not to be the input, and only if it
      // holds data: truncating a new file makes some file systems force the
      // data out at close.
      held_.hold();
      ok = ::ftruncate(fd, 0) == 0;
    }
  }
  if (!ok) {
    fd_.close();
    folder_.close();
    held_.release();
  }
  return ok;
}

void OutputFile::release_held_signals() {
  held_.release();
}

bool OutputFile::open_by_path(const char* path, const InputFile& input, mode_t create_mode) {
  char target[PATH_MAX];
  const std::size_t length = std::strlen(path);
  if (length >= sizeof target) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(target, path, length + 1);
  // A relative link target starts from the folder that holds the link.
  Descriptor start;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    char* const slash = std::strrchr(target, '/');
    const char* const name = slash == nullptr ? target : slash + 1;
    const char* folder_path = ".";
    if (slash == target) {
      folder_path = "/";
    } else if (slash != nullptr) {
      *slash = '\0';
      folder_path = target;
    }
    if (names_folder(name) || std::strlen(name) > NAME_MAX) {
      errno = names_folder(name) ? EISDIR : ENAMETOOLONG;
      return false;
    }
    // The folders on the way are followed here, once; the file is then
    // reached only through this descriptor.
    Descriptor folder;
    folder.own(::openat(start.get() >= 0 ? start.get() : AT_FDCWD, folder_path,
                        O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
      return false;
    }
    struct stat entry {};
    const bool exists = ::fstatat(folder.get(), name, &entry, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(entry.st_mode)) {
      if (on_procfs(folder.get())) {
        // A link in /proc names an open file, not a path: only the kernel can
        // follow it, and the file behind it is never the run's to remove.
        fd_.own(
            ::openat(folder.get(), name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, create_mode));
        return fd_.get() >= 0;
      }
      if (!may_follow(folder.get(), entry)) {
        errno = EACCES;
        return false;
      }
      char link[PATH_MAX];
      const ssize_t got = ::readlinkat(folder.get(), name, link, sizeof link);
      if (got < 0 || static_cast<std::size_t>(got) >= sizeof link) {
        errno = got < 0 ? errno : ENAMETOOLONG;
        return false;
      }
      std::memcpy(target, link, static_cast<std::size_t>(got));
      target[got] = '\0';
      start.own(folder.release());
      continue;
    }
    if (!exists) {
      // A new file is created, and known to be the run's own, with signals
      // held back; without a name where the file system allows it.
      held_.hold();
      if (create_unnamed(folder.get(), create_mode)) {
        folder_.own(folder.release());
        std::memcpy(name_, name, std::strlen(name) + 1);
        return true;
      }
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        held_.release();
        return false;
      }
    } else if (!may_open_existing(folder.get(), entry) ||
               overwrites(entry, LoopBacking{}, input.status(), input.backing_)) {
      // Refused before the open, which may wait (for a FIFO's reader, say).
      errno = EACCES;
      return false;
    }
    // An existing entry is opened as it is, which may wait while signals
    // still end the run at once; a new file is created by its name where it
    // cannot be made without one.
    const int fd =
        ::openat(folder.get(), name,
                 O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | (exists ? 0 : O_CREAT | O_EXCL),
                 create_mode);
    struct stat opened {};
    if (fd < 0 || (exists && (::fstat(fd, &opened) != 0 || !same_file(opened, entry)))) {
      const int error = fd < 0 ? errno : EEXIST;
      if (fd >= 0) {
        ::close(fd);
      }
      held_.release();
      if (error != ELOOP && error != EEXIST && !(exists && error == ENOENT)) {
        errno = error;
        return false;
      }
      // The entry changed after it was looked at (it became a link, or came
      // or went, or is another file): look at it again.
      if (slash != nullptr) {
        *slash = '/';
      }
      continue;
    }
    fd_.own(fd);
    created_ = !exists;
    folder_.own(folder.release());
    std::memcpy(name_, name, std::strlen(name) + 1);
    return true;
  }
  errno = ELOOP;
  return false;
}

// Makes the output a new file without a name in `folder` (O_TMPFILE), which
// a run that dies takes with it. False, with errno EOPNOTSUPP, EISDIR or
// EINVAL, where the file system cannot make one or the file could not be
// linked into place later (where /proc is missing: see link_into_place).
bool OutputFile::create_unnamed(int folder, mode_t create_mode) {
  Descriptor file;
  file.own(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, create_mode));
  if (file.get() < 0) {
    return false;
  }
  char path[32];
  proc_fd_path(file.get(), path);
  if (::faccessat(AT_FDCWD, path, F_OK, 0) != 0) {
    errno = EOPNOTSUPP;
    return false;
  }
  fd_.own(file.release());
  created_ = true;
  unnamed_ = true;
  return true;
}

// Gives the new file its name, which must still be free: a link never
// replaces an entry. Linking a descriptor takes CAP_DAC_READ_SEARCH before
// Linux 6.10; without it the file is linked through /proc.
bool OutputFile::link_into_place() const {
  const int fd = fd_.get();
  if (::linkat(fd, "", folder_.get(), name_, AT_EMPTY_PATH) == 0) {
    return true;
  }
  if (errno != ENOENT) {
    return false;
  }
  char path[32];
  proc_fd_path(fd, path);
  return ::linkat(AT_FDCWD, path, folder_.get(), name_, AT_SYMLINK_FOLLOW) == 0;
}

Outcome OutputFile::commit() {
  const int fd = fd_.get();
  if (S_ISREG(status_.st_mode) && !sync_data(fd)) {
    return Outcome::WriteFailed;
  }
  if (unnamed_ && !link_into_place()) {
    // Another file took the name meanwhile: the output cannot go there,
    // as when it cannot be opened.
    return errno == EEXIST ? Outcome::OutputOpenFailed : Outcome::WriteFailed;
  }
  if (created_ && !sync_folder(folder_.get(), fd)) {
    return Outcome::WriteFailed;
  }
  if (S_ISREG(status_.st_mode) && !fd_.borrowed()) {
    keeper_.own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  }
  return fd_.close() ? Outcome::Ok : Outcome::WriteFailed;
}

bool OutputFile::is_this_file(const struct stat& other) const {
  return same_file(other, status_);
}

bool OutputFile::discard() const {
  if (!S_ISREG(status_.st_mode)) {
    return false;
  }
  const int open_fd = fd_.get();
  const int fd = open_fd >= 0 ? open_fd : keeper_.get();
  if (fd_.borrowed()) {
    if (fd < 0) {
      return false;
    }
    // Appending, the run's bytes come off only while the file still ends
    // where its last write left it (the offset): what another writer has
    // appended since stays, and so does what the run wrote before it.
    struct stat now {};
    if (appending_ && (::fstat(fd, &now) != 0 ||
                       (now.st_size > floor_ && ::lseek(fd, 0, SEEK_CUR) != now.st_size))) {
      return false;
    }
    // The offset goes back too, so that whoever writes next to the same
    // standard output goes on right after what was there before the run.
    return cut_back(fd, floor_) && ::lseek(fd, start_, SEEK_SET) == start_;
  }
  // Emptied first, so that nothing partial survives under another name (a
  // hard link) or where the entry cannot be removed. A file that has no
  // name yet then goes with its last descriptor.
  const bool emptied = fd >= 0 && cut_back(fd, 0);
  struct stat entry {};
  const bool removed = folder_.get() >= 0 &&
                       ::fstatat(folder_.get(), name_, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
                       is_this_file(entry) && ::unlinkat(folder_.get(), name_, 0) == 0;
  return emptied || removed;
}

}  // namespace cryptcore
