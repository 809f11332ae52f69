// SPDX-License-Identifier: Apache-2.0
// The two files of a file run, as descriptors of the C runtime: the input, and
// the output that is refused when it is the input and taken back when the run
// fails or is stopped. One interface over each platform's own handles:
// files_linux.cpp and files_windows.cpp, whose state is the private part of
// each class.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "cryptcore/outcome.hpp"

#if defined(_WIN32)
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#else
#include <sys/stat.h>
#include <sys/types.h>

#include <climits>

#include "io/signal_hold.hpp"
#endif

namespace cryptcore {

// Whether `path` is one of the two names of a standard stream that the
// programs take, as GNU tools do, for the inherited stream itself rather than
// for a new open of the file behind it (on Windows too, so that scripts work
// the same on both systems).
inline bool names_stream(const char* path, const char* stream_name, const char* fd_name) {
  return std::strcmp(path, stream_name) == 0 || std::strcmp(path, fd_name) == 0;
}

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
  bool close() {
    const int fd = fd_.exchange(-1);
    return fd < 0 || !owned_ || ::close(fd) == 0;
  }
  // Gives up the descriptor without closing it.
  int release() { return fd_.exchange(-1); }

  int get() const { return fd_.load(std::memory_order_relaxed); }
  // Whether it holds (or held, until closed) an inherited standard stream,
  // which it leaves open.
  bool borrowed() const { return !owned_; }

 private:
  void reset(int fd, bool owned) {
    close();
    owned_ = owned;
    fd_.store(fd);
  }

  // Read by a signal handler that may interrupt close(): the descriptor is
  // taken out of here before it is closed.
  std::atomic<int> fd_{-1};
  bool owned_ = true;
};

#if defined(_WIN32)
// Which file a handle leads to: its volume's serial number and its ID on that
// volume. Only files on a disk have one.
struct FileIdentity {
  bool on_disk = false;
  std::uint64_t volume = 0;
  std::uint8_t id[16] = {};

  bool same_file(const FileIdentity& other) const;
};

// Closes a Windows HANDLE, held as a void* so that windows.h stays out of here.
struct HandleCloser {
  void operator()(void* handle) const noexcept;
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// Waits until no output is between its opening and its registration
// (OutputFile::open() to release_held_signals()), and keeps any other from
// being opened for the rest of the process: for a console control handler,
// which then takes back the registered output and ends the process, so that
// no output it cannot see is left behind, created or emptied.
void block_output_openings();
#else
// Where data lie: a block device, by its number, or a file, by its file
// system and inode.
struct DataPlace {
  bool block = false;
  dev_t device = 0;
  ino_t inode = 0;

  bool operator==(const DataPlace& other) const {
    return block == other.block && device == other.device && inode == other.inode;
  }
};

// Where a loop device keeps its data, as the kernel reports it: the file or
// block device behind it, and, when that is a loop device too, what is
// behind that, nearest first; nothing for any other file.
struct LoopBacking {
  static constexpr int kMaxDepth = 8;
  int depth = 0;
  DataPlace places[kMaxDepth];
};
#endif

class InputFile {
 public:
  // Opens `path` for reading; a directory is refused. /dev/stdin and
  // /dev/fd/0 name the inherited standard input, read from where it stands
  // (on Windows in binary mode, as every file here: no CR/LF translation, no
  // end at Ctrl-Z).
  bool open(const char* path);

  int fd() const { return fd_.get(); }

 private:
  friend class OutputFile;

  Descriptor fd_;
#if defined(_WIN32)
  FileIdentity identity_;
  // Nobody but its owner, SYSTEM and the Administrators may read it.
  bool private_ = false;
#else
  const struct stat& status() const {
    return status_;
  }

  struct stat status_ {};
  LoopBacking backing_;
#endif
};

class OutputFile {
 public:
  // Opens `path` for writing. An existing file is emptied, keeping its owner
  // and its permissions; a new one gets, on POSIX, the permission bits of a
  // regular input (at most 0666) less the umask, and on Windows its folder's
  // inherited ACL, or, when nobody but its owner, SYSTEM and the
  // Administrators may read the input, an ACL of its own that lets nobody
  // else in either. /dev/stdout and /dev/fd/1 name the inherited standard
  // output, written from where it stands without emptying it. Refused, with
  // nothing emptied: the input itself (the same regular file by any path, or
  // on POSIX the same block device or FIFO, or a loop device and the file
  // behind it), a folder, a path that cannot be opened, and on Linux what
  // the kernel's protections of shared folders refuse to a plain open
  // (fs.protected_symlinks, fs.protected_regular, fs.protected_fifos).
  // A new file is made without its name, which commit() gives it: on Linux
  // an unnamed file; on Windows a file under a hidden temporary name in the
  // same folder, marked to be deleted when its last handle closes, so that a
  // killed run leaves nothing.
  bool open(const char* path, const InputFile& input);
  // Makes the output of a run that succeeded final: a file on disk has its
  // data synced (on Linux its folder too), a new file is given its name
  // (OutputOpenFailed if something has taken that name meanwhile, which is
  // left as it is), and the file is closed. WriteFailed if any of that
  // fails; the run's output is then still there for discard().
  Outcome commit();
  // Takes back what the run wrote after it failed: a regular file the run
  // opened by path is emptied and removed (only emptied where it cannot be
  // removed), and a new one that has no name yet never gets one; a regular
  // standard output is cut back to where the run began, but never below its
  // length then (on POSIX, one that appends only while its end is still
  // where the run's writes left it); devices, pipes and sockets are left
  // alone. True if nothing of what the run wrote is left. It works also
  // after a commit() that failed, and while the run is in progress:
  // - on POSIX it makes only async-signal-safe calls, for a signal handler
  //   (which may also interrupt commit()), and reaches the file through a
  //   descriptor kept to the end and the folder that held it;
  // - on Windows it reaches the file through a second handle held until the
  //   end, so that the file's name plays no part, and, called on another
  //   thread (as a console control handler is), it first stops for good the
  //   thread that opened the output, which is the one that writes it, so
  //   that no write lands after the cleanup (a long run's second thread,
  //   which writes for it, is stopped before: WriteFence::stop).
  bool discard() const;
  // To be called once the output is known to whatever calls discard() when
  // the run is stopped from outside. On POSIX, signals are held back on the
  // calling thread from the moment open() creates or empties a file until
  // then, so that a signal in between finds the output there to take back
  // instead of leaving it behind, created or emptied. A Windows console
  // handler runs on a thread of its own: it waits instead, in
  // block_output_openings(), from the start of open() until then.
  void release_held_signals();

  int fd() const { return fd_.get(); }

 private:
  Descriptor fd_;
#if defined(_WIN32)
  bool open_by_path(const char* path, const InputFile& input);
  void* create_unnamed(const std::wstring& path, void* security);
  bool prepare_discard(void* file);
  bool give_name() const;
  void stop_writer() const;

  FileIdentity identity_;
  // The full path a new output gets at commit(); empty for an existing file,
  // written in place, and for a standard output.
  std::wstring final_path_;
  // The file itself, reached apart from the descriptor and its name: for the
  // run's own file, with the right to delete it where that is granted.
  OwnedHandle keeper_;
  // The thread that opened the output, to be stopped by a discard() that
  // comes from another thread.
  OwnedHandle writer_;
  unsigned long writer_id_ = 0;
  // Where this run's bytes begin in an inherited output.
  std::int64_t start_ = 0;
  // The lock of block_output_openings(), held from open() until
  // release_held_signals().
  std::unique_lock<std::mutex> opening_;
#else
  bool open_by_path(const char* path, const InputFile& input, mode_t create_mode);
  bool create_unnamed(int folder, mode_t create_mode);
  bool link_into_place() const;
  bool is_this_file(const struct stat& other) const;

  struct stat status_ {};
  // The directory that holds the file and the file's name in it, resolved
  // once at opening, after following every symbolic link. Identity checks,
  // the link of a new file and the removal go through them, so nothing but
  // this one entry is touched, whatever happens to the path meanwhile. No
  // folder when the run may not remove the file (standard output, a file
  // reached through /proc).
  Descriptor folder_;
  char name_[NAME_MAX + 1] = {};
  // The run made the file: its folder is synced once it has its name.
  bool created_ = false;
  // The file was made without a name, which commit() gives it.
  bool unnamed_ = false;
  // A second descriptor of the file, taken before commit() closes it, so
  // that a discard() after a close that failed reaches the file itself
  // rather than whatever its name leads to then.
  Descriptor keeper_;
  // An inherited output: where this run's bytes begin (what the offset goes
  // back to), how short a cut-back may make it (its length when the run
  // began, or the offset if that is further), and whether it appends.
  off_t start_ = 0;
  off_t floor_ = 0;
  bool appending_ = false;
  SignalHold held_;
#endif
};

}  // namespace cryptcore
