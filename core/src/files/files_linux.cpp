// SPDX-License-Identifier: Apache-2.0
// The files of a run over POSIX descriptors, found again through the folder
// that holds the output.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/files.hpp"

namespace cryptcore {

namespace {

// What a new output gets at most, before the umask: what fopen's "wb" gives.
constexpr mode_t kNewFileMode = 0666;
// How many symbolic links one output path may go through, as the kernel allows.
constexpr int kMaxLinkHops = 40;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether writing the output would destroy the input before it is read: the
// same regular file, or the same block device, by whatever path.
bool overwrites(const struct stat& output, const struct stat& input) {
  if (S_ISREG(input.st_mode)) {
    return same_file(output, input);
  }
  return S_ISBLK(input.st_mode) && S_ISBLK(output.st_mode) && output.st_rdev == input.st_rdev;
}

bool on_procfs(int folder) {
  struct statfs about {};
  return ::fstatfs(folder, &about) == 0 && about.f_type == PROC_SUPER_MAGIC;
}

// Whether a last path component names a folder rather than a file in one.
bool names_folder(const char* name) {
  return name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Shortens the file behind `fd` to `length` bytes if it is longer.
bool cut_back(int fd, off_t length) {
  struct stat now {};
  return ::fstat(fd, &now) == 0 && (now.st_size <= length || ::ftruncate(fd, length) == 0);
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
  return true;
}

bool OutputFile::open(const char* path, const InputFile& input) {
  const struct stat& input_status = input.status();
  if (names_stream(path, "/dev/stdout", "/dev/fd/1")) {
    fd_.borrow(STDOUT_FILENO);
  } else if (!open_by_path(path, S_ISREG(input_status.st_mode)
                                     ? (input_status.st_mode & kNewFileMode)
                                     : kNewFileMode)) {
    return false;
  }
  const int fd = fd_.get();
  bool ok = ::fstat(fd, &status_) == 0 && !overwrites(status_, input_status);
  if (ok && S_ISREG(status_.st_mode)) {
    if (fd_.borrowed()) {
      // Appending, the run's bytes go after what the file holds; otherwise
      // they start at the inherited offset, which is what a failure cuts back to.
      const int flags = ::fcntl(fd, F_GETFL);
      start_ = flags >= 0 && (flags & O_APPEND) != 0 ? status_.st_size : ::lseek(fd, 0, SEEK_CUR);
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

bool OutputFile::open_by_path(const char* path, mode_t create_mode) {
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
    // An existing entry is opened as it is, which may wait (for a FIFO's
    // reader, say) while signals still end the run at once; a new file is
    // created, and known to be the run's own, with signals held back.
    if (!exists) {
      held_.hold();
    }
    const int fd =
        ::openat(folder.get(), name,
                 O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | (exists ? 0 : O_CREAT | O_EXCL),
                 create_mode);
    if (fd < 0) {
      const int error = errno;
      held_.release();
      if (error != ELOOP && error != EEXIST && !(exists && error == ENOENT)) {
        errno = error;
        return false;
      }
      // The entry changed after it was looked at (it became a link, or came
      // or went): look at it again.
      if (slash != nullptr) {
        *slash = '/';
      }
      continue;
    }
    fd_.own(fd);
    folder_.own(folder.release());
    std::memcpy(name_, name, std::strlen(name) + 1);
    return true;
  }
  errno = ELOOP;
  return false;
}

bool OutputFile::commit() {
  return close();
}

bool OutputFile::is_this_file(const struct stat& other) const {
  return same_file(other, status_);
}

bool OutputFile::discard() const {
  if (!S_ISREG(status_.st_mode)) {
    return false;
  }
  int fd = fd_.get();
  if (fd_.borrowed()) {
    // The offset goes back too, so that whoever writes next to the same
    // standard output goes on right after what was there before the run.
    return fd >= 0 && cut_back(fd, start_) && ::lseek(fd, start_, SEEK_SET) == start_;
  }
  int reopened = -1;
  if (fd < 0 && folder_.get() >= 0) {
    // Closed already, by a close that failed: reopen the file to empty it, if
    // its entry still holds it (without waiting, should the entry now name a
    // FIFO).
    reopened =
        ::openat(folder_.get(), name_, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat now {};
    if (reopened >= 0 && (::fstat(reopened, &now) != 0 || !is_this_file(now))) {
      ::close(reopened);
      reopened = -1;
    }
    fd = reopened;
  }
  // Emptied first, so that nothing partial survives under another name (a
  // hard link) or where the entry cannot be removed.
  const bool emptied = fd >= 0 && cut_back(fd, 0);
  if (reopened >= 0) {
    ::close(reopened);
  }
  struct stat entry {};
  const bool removed = folder_.get() >= 0 &&
                       ::fstatat(folder_.get(), name_, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
                       is_this_file(entry) && ::unlinkat(folder_.get(), name_, 0) == 0;
  return emptied || removed;
}

}  // namespace cryptcore
