// SPDX-License-Identifier: Apache-2.0
// The two files of a file run on Windows, as C runtime descriptors in binary
// mode over handles that child processes do not inherit: the input, and the
// output that is refused when it is the input and deleted through its own
// handle when the run fails. The same interface as files.hpp.
#pragma once

#include <cstdint>

namespace cryptcore {

// Which file a handle leads to: its volume's serial number and its index on
// that volume. Only files on a disk have one.
struct FileIdentity {
  bool on_disk = false;
  std::uint32_t volume = 0;
  std::uint64_t index = 0;

  bool same_file(const FileIdentity& other) const {
    return on_disk && other.on_disk && volume == other.volume && index == other.index;
  }
};

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading; a directory is refused.
  bool open(const char* path);
  void close();

  int fd() const { return fd_; }
  const FileIdentity& identity() const { return identity_; }

 private:
  int fd_ = -1;
  FileIdentity identity_;
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `path` for writing, creating it or emptying it. Refuses, without
  // emptying anything, a path that leads to the input file (by any name, a
  // hard link included).
  bool open(const char* path, const InputFile& input);
  // Closes the file; false if the close reports an error.
  bool close();
  // Empties the output file and marks it to be deleted, through its own
  // handle, when that is closed, whatever its name has become; devices are
  // left alone. Once the file is closed there is no handle left to reach it
  // by. False if the file is left.
  bool discard() const;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  FileIdentity identity_;
};

}  // namespace cryptcore
