// The two files of a file run, as owned descriptors: the input, and the output
// that is refused when it is the input and removed when the run fails.
#pragma once

#include <sys/stat.h>

namespace cryptcore {

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
  const struct stat& status() const { return status_; }

 private:
  int fd_ = -1;
  struct stat status_ {};
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `path` for writing, creating it or truncating it. Refuses, without
  // truncating anything, a path that leads to `input` when that is a regular
  // file (the same path, a symbolic or a hard link).
  bool open(const char* path, const InputFile& input);
  // Closes the file; false if the close reports an error (data not written).
  bool close();
  // Empties and removes a regular output file after a failed run (also once
  // closed, when the close failed), so nothing partial is left; devices,
  // pipes and whatever the path now names are kept.
  void discard();

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  const char* path_ = nullptr;
  struct stat status_ {};
};

}  // namespace cryptcore
