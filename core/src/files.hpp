// SPDX-License-Identifier: Apache-2.0
// The two files of a file run, as owned descriptors: the input, and the output
// that is refused when it is the input and removed when the run fails.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <climits>

namespace cryptcore {

// A descriptor this object closes, or an inherited standard stream it leaves
// open.
class Descriptor {
 public:
  Descriptor() = default;
  ~Descriptor() { close(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  void own(int fd) { reset(fd, true); }
  void borrow(int fd) { reset(fd, false); }
  // Closes an owned descriptor; false if the close reports an error.
  bool close();
  // Gives up the descriptor without closing it.
  int release();

  int get() const { return fd_.load(std::memory_order_relaxed); }
  bool inherited() const { return !owned_; }

 private:
  void reset(int fd, bool owned);

  // Read by a signal handler that may interrupt close(): the descriptor is
  // taken out of here before it is closed.
  std::atomic<int> fd_{-1};
  bool owned_ = false;
};

class InputFile {
 public:
  // Opens `path` for reading; a directory is refused. /dev/stdin and
  // /dev/fd/0 name the inherited standard input, read from where it stands.
  bool open(const char* path);

  int fd() const { return fd_.get(); }
  const struct stat& status() const { return status_; }

 private:
  Descriptor fd_;
  struct stat status_ {};
};

class OutputFile {
 public:
  // Opens `path` for writing. A new file gets the permission bits of a regular
  // input (at most 0666), less the umask; an existing regular file keeps its
  // owner and mode and is emptied. /dev/stdout and /dev/fd/1 name the
  // inherited standard output, written from where it stands without emptying
  // it. Refused, with nothing emptied: the input itself (the same regular file
  // or block device by any path), a folder, a path that cannot be opened.
  bool open(const char* path, const InputFile& input);
  // Closes the file; false if the close reports an error (data not written).
  bool close() { return fd_.close(); }
  // Takes back what the run wrote after it failed: a regular file the run
  // opened by path is emptied and its directory entry removed (only emptied
  // where the entry cannot be removed); a regular standard output is cut back
  // to where the run began; devices, pipes and sockets are left alone. Works
  // also once closed, and makes only async-signal-safe calls, so a signal
  // handler may call it while the run is in progress. True if nothing of
  // what the run wrote is left.
  bool discard() const;

  int fd() const { return fd_.get(); }

 private:
  bool open_by_path(const char* path, mode_t create_mode);
  bool is_this_file(const struct stat& other) const;

  Descriptor fd_;
  struct stat status_ {};
  // The directory that holds the file and the file's name in it, resolved
  // once at opening, after following every symbolic link. Identity checks and
  // the removal go through them, so nothing but this one entry is touched,
  // whatever happens to the path meanwhile. No folder when the run may not
  // remove the file (standard output, a file reached through /proc).
  Descriptor folder_;
  char name_[NAME_MAX + 1] = {};
  // Where this run's bytes begin: 0, or the offset of an inherited output.
  off_t start_ = 0;
};

}  // namespace cryptcore
