// SPDX-License-Identifier: Apache-2.0
#include "files_windows.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace cryptcore {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

FileIdentity identity_of(HANDLE handle) {
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info)) {
    identity.on_disk = true;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  }
  return identity;
}

// Hands `handle` to a C runtime descriptor in binary mode (no CR/LF
// translation, no end of file at Ctrl-Z); the descriptor owns it from then
// on. -1, with the handle closed, if that fails.
int descriptor_of(HANDLE handle, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
  }
  return fd;
}

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool empty(HANDLE handle) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

}  // namespace

InputFile::~InputFile() {
  close();
}

bool InputFile::open(const char* path) {
  close();
  // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS: refused.
  // The default security attributes make the handle not inherited.
  const HANDLE handle = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  identity_ = identity_of(handle);
  fd_ = descriptor_of(handle, _O_RDONLY);
  return fd_ >= 0;
}

void InputFile::close() {
  if (fd_ >= 0) {
    _close(fd_);
    fd_ = -1;
  }
}

OutputFile::~OutputFile() {
  close();
}

bool OutputFile::open(const char* path, const InputFile& input) {
  close();
  // Opened without emptying it: the file is emptied only once it is known not
  // to be the input. DELETE access lets a failed run delete the file through
  // this handle; where it is not granted, the file is only emptied.
  HANDLE handle = CreateFileA(path, GENERIC_WRITE | DELETE, kShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  identity_ = identity_of(handle);
  if (identity_.same_file(input.identity()) || (identity_.on_disk && !empty(handle))) {
    CloseHandle(handle);
    identity_ = {};
    return false;
  }
  fd_ = descriptor_of(handle, _O_WRONLY);
  return fd_ >= 0;
}

bool OutputFile::close() {
  if (fd_ < 0) {
    return true;
  }
  const int result = _close(fd_);
  fd_ = -1;
  return result == 0;
}

bool OutputFile::discard() const {
  if (fd_ < 0 || !identity_.on_disk) {
    return fd_ >= 0;
  }
  const HANDLE handle = handle_of(fd_);
  // Emptied first, so that nothing partial survives under another name (a
  // hard link) or where the delete is not allowed.
  const bool emptied = empty(handle);
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) ||
         emptied;
}

}  // namespace cryptcore
