#include "files.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace cryptcore {

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

InputFile::~InputFile() {
  close();
}

bool InputFile::open(const char* path) {
  close();
  fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    return false;
  }
  if (::fstat(fd_, &status_) != 0 || S_ISDIR(status_.st_mode)) {
    close();
    return false;
  }
  return true;
}

void InputFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

OutputFile::~OutputFile() {
  close();
}

bool OutputFile::open(const char* path, const InputFile& input) {
  close();
  // Opened without O_TRUNC: the file is emptied only once it is known not to
  // be the input.
  fd_ = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    return false;
  }
  path_ = path;
  const bool regular_input = S_ISREG(input.status().st_mode);
  if (::fstat(fd_, &status_) != 0 || (regular_input && same_file(status_, input.status())) ||
      (S_ISREG(status_.st_mode) && ::ftruncate(fd_, 0) != 0)) {
    close();
    return false;
  }
  return true;
}

bool OutputFile::close() {
  if (fd_ < 0) {
    return true;
  }
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0;
}

void OutputFile::discard() {
  if (path_ == nullptr || !S_ISREG(status_.st_mode)) {
    close();
    return;
  }
  if (fd_ < 0) {
    // Already closed, by a close that failed: reopen the file to empty it,
    // if the path still leads to it.
    // Non-blocking: if the path now names a FIFO, this must not wait.
    fd_ = ::open(path_, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat reopened {};
    if (fd_ >= 0 && (::fstat(fd_, &reopened) != 0 || !same_file(reopened, status_))) {
      close();
    }
  }
  // Emptied first, so that nothing partial survives under another name (a
  // hard link, or the target of a symbolic link that is not removed).
  if (fd_ >= 0) {
    (void)::ftruncate(fd_, 0);
  }
  struct stat now {};
  if (::lstat(path_, &now) == 0 && same_file(now, status_)) {
    ::unlink(path_);
  }
  close();
}

}  // namespace cryptcore
