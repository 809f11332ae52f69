// SPDX-License-Identifier: Apache-2.0
// The files of a run over Windows handles: descriptors of the C runtime in
// binary mode, and a second handle that reaches the output apart from its name.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>

#include "files/files.hpp"
#include "files/files_windows_handles.hpp"
#include "files/windows_acl.hpp"

namespace cryptcore {

void HandleCloser::operator()(void* handle) const noexcept {
  CloseHandle(handle);
}

bool FileIdentity::same_file(const FileIdentity& other) const {
  // Wine reports no volume (0) for the handles it makes of the host's
  // descriptors, such as the standard streams of a program started from a
  // Linux shell, and for every handle once the process has shut other
  // processes out (a process of Wine's own answers the query): the ID alone
  // decides then, which at worst refuses a file on another volume that has
  // the same ID.
  return on_disk && other.on_disk && std::memcmp(id, other.id, sizeof id) == 0 &&
         (volume == other.volume || volume == 0 || other.volume == 0);
}

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool mark_for_deletion(HANDLE handle, bool deleted) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = deleted ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

bool cut_back(HANDLE handle, std::int64_t length) {
  LARGE_INTEGER size{};
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = length;
  return GetFileSizeEx(handle, &size) &&
         (size.QuadPart <= length ||
          SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end));
}

namespace {

// How many random names a new output tries before it gives up: one is taken
// only by a file left from another run, whose names are as random.
constexpr int kTemporaryNameTries = 4;

// Held by an output from the start of its opening to its registration; a
// console handler takes it for good (block_output_openings()).
std::mutex output_openings;

// Hands `handle` to `descriptor` in binary mode (no CR/LF translation, no end
// of file at Ctrl-Z); the descriptor owns it from then on. False, with the
// handle still the caller's, if that fails.
bool own_handle(Descriptor& descriptor, HANDLE handle, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    return false;
  }
  descriptor.own(fd);
  return true;
}

// Takes the inherited standard stream `fd` as it stands, switched to binary
// mode; false if the process has no such stream.
bool borrow_standard_stream(Descriptor& descriptor, int fd) {
  if (_get_osfhandle(fd) <= 0 || _setmode(fd, _O_BINARY) < 0) {
    return false;
  }
  descriptor.borrow(fd);
  return true;
}

FileIdentity identity_of(HANDLE handle) {
  FileIdentity identity;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    return identity;
  }
  FILE_ID_INFO id_info{};
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id_info, sizeof id_info)) {
    identity.on_disk = true;
    identity.volume = id_info.VolumeSerialNumber;
    std::memcpy(identity.id, id_info.FileId.Identifier, sizeof identity.id);
  } else if (GetFileInformationByHandle(handle, &info)) {
    // A file system without 128-bit IDs (FAT) gives a 64-bit index.
    identity.on_disk = true;
    identity.volume = info.dwVolumeSerialNumber;
    const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    std::memcpy(identity.id, &index, sizeof index);
  }
  return identity;
}

// `path` as CreateFileA reads it, in the code page of the file functions;
// empty if it cannot be converted.
std::wstring wide_path(const char* path) {
  const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int length = MultiByteToWideChar(code_page, 0, path, -1, nullptr, 0);
  if (length <= 1) {
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(code_page, 0, path, -1, wide.data(), length) != length) {
    return {};
  }
  wide.pop_back();
  return wide;
}

// The full path of `path`, as the file functions resolve it; empty on failure.
std::wstring full_path(const std::wstring& path) {
  const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) {
    return {};
  }
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) {
    return {};
  }
  full.resize(written);
  return full;
}

// A name that no other run has given its temporary file: 64 random bits, after
// a dot that hides it from Unix tools too (and from Wine's programs).
bool random_temporary_name(std::wstring& name) {
  std::uint8_t random[8];
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return false;
  }
  name = L".cryptcore-";
  for (const std::uint8_t byte : random) {
    name += L"0123456789abcdef"[byte >> 4];
    name += L"0123456789abcdef"[byte & 0xF];
  }
  name += L".tmp";
  return true;
}

}  // namespace

bool InputFile::open(const char* path) {
  if (names_stream(path, "/dev/stdin", "/dev/fd/0")) {
    if (!borrow_standard_stream(fd_, STDIN_FILENO)) {
      return false;
    }
  } else {
    // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS: refused.
    // The default security attributes make the handle not inherited.
    const HANDLE handle = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return false;
    }
    if (!own_handle(fd_, handle, _O_RDONLY)) {
      CloseHandle(handle);
      return false;
    }
  }
  const HANDLE handle = handle_of(fd_.get());
  identity_ = identity_of(handle);
  private_ = identity_.on_disk && readable_only_by_its_owner(handle);
  return true;
}

void block_output_openings() {
  // Never released: the process ends while it is held.
  output_openings.lock();
}

bool OutputFile::open(const char* path, const InputFile& input) {
  opening_ = std::unique_lock(output_openings);
  if (names_stream(path, "/dev/stdout", "/dev/fd/1")) {
    if (!borrow_standard_stream(fd_, STDOUT_FILENO)) {
      opening_.unlock();
      return false;
    }
  } else if (!open_by_path(path, input)) {
    opening_.unlock();
    return false;
  }
  const HANDLE handle = handle_of(fd_.get());
  const bool unnamed = !final_path_.empty();
  identity_ = identity_of(handle);
  bool ok = !identity_.same_file(input.identity_) && (identity_.on_disk || !unnamed);
  if (ok && identity_.on_disk) {
    if (fd_.borrowed()) {
      // The run's bytes go after what the file holds, or from where it stands
      // if that is further on: an appending handle cannot be told from one
      // that writes over the file from its start (Wine gives both the
      // position 0), and a failure must never cut off what was there before.
      LARGE_INTEGER position{};
      LARGE_INTEGER size{};
      ok = SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) &&
           GetFileSizeEx(handle, &size);
      start_ = std::max(position.QuadPart, size.QuadPart);
    } else if (!unnamed) {
      // Emptied only now that it is known not to be the input.
      ok = cut_back(handle, 0);
    }
    // A new file goes as its last handle closes, with the process if it is
    // killed, until commit() names it. Marked only now: a file marked so can
    // no longer be opened, not even by the keeper's ReOpenFile.
    ok = ok && prepare_discard(handle) && (!unnamed || mark_for_deletion(keeper_.get(), true));
  }
  if (!ok) {
    if (unnamed) {
      mark_for_deletion(handle, true);
    }
    fd_.close();
    keeper_.reset();
    identity_ = {};
    final_path_.clear();
    opening_.unlock();
  }
  return ok;
}

bool OutputFile::open_by_path(const char* path, const InputFile& input) {
  const std::wstring wide = wide_path(path);
  if (wide.empty()) {
    return false;
  }
  // An existing file is written in place, so that it stays the same file (its
  // ACL, its other links, its ID); it is emptied only once it is known not to
  // be the input.
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      return false;
    }
    // The counterpart of a private input's permission bits on POSIX: a new
    // output from an input that nobody else may read is made as private.
    std::optional<PrivateFile> private_file;
    SECURITY_ATTRIBUTES* security = nullptr;
    if (input.private_) {
      security = private_file.emplace().attributes();
      // Without its own ACL the output would get its folder's, which may let
      // others read what nobody else could read in the input: refused.
      if (security == nullptr) {
        return false;
      }
    }
    if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) {
      // The name is there but leads nowhere: a dangling symbolic link, whose
      // target is created through it, under the target's own name.
      handle = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, security, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
      handle = create_unnamed(wide, security);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      return false;
    }
  }
  if (!own_handle(fd_, handle, _O_WRONLY)) {
    if (!final_path_.empty()) {
      mark_for_deletion(handle, true);
      final_path_.clear();
    }
    CloseHandle(handle);
    return false;
  }
  return true;
}

void* OutputFile::create_unnamed(const std::wstring& path, void* security) {
  std::wstring full = full_path(path);
  const std::size_t name_at = full.find_last_of(L"\\/") + 1;
  if (full.empty() || name_at == 0 || name_at == full.size()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring name;
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    if (!random_temporary_name(name)) {
      return INVALID_HANDLE_VALUE;
    }
    // In the output's own folder, so that it gets the same inherited ACL and
    // can be renamed into place; hidden until then.
    const std::wstring temporary = full.substr(0, name_at) + name;
    const HANDLE handle = CreateFileW(temporary.c_str(), kNamingRights, kShareAll,
                                      static_cast<SECURITY_ATTRIBUTES*>(security), CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      final_path_ = std::move(full);
      return handle;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) {
      return INVALID_HANDLE_VALUE;
    }
  }
  return INVALID_HANDLE_VALUE;
}

bool OutputFile::prepare_discard(void* file) {
  const HANDLE process = GetCurrentProcess();
  // Without the writer's thread a discard from another thread could not stop
  // it, and its writes could follow the cleanup: then the output is refused.
  HANDLE thread = nullptr;
  if (!DuplicateHandle(process, GetCurrentThread(), process, &thread,
                       THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0)) {
    return false;
  }
  writer_.reset(thread);
  writer_id_ = GetCurrentThreadId();
  // A handle of its own, opened afresh on the same file, so that the cleanup
  // waits on nothing the writer may hold; with the right to delete the file
  // where that is granted and the file is the run's own (not a standard
  // output), and for a new file, every right commit() needs to name it. Else
  // a duplicate of the writer's handle, which a new file was opened with.
  static constexpr DWORD kNewFile[] = {kNamingRights};
  static constexpr DWORD kOwnFile[] = {GENERIC_WRITE | DELETE, GENERIC_WRITE};
  static constexpr DWORD kStandardOutput[] = {GENERIC_WRITE};
  const std::span<const DWORD> tries = !final_path_.empty() ? std::span<const DWORD>(kNewFile)
                                       : fd_.borrowed() ? std::span<const DWORD>(kStandardOutput)
                                                        : std::span<const DWORD>(kOwnFile);
  for (const DWORD access : tries) {
    const HANDLE keeper = ReOpenFile(file, access, kShareAll, 0);
    if (keeper != INVALID_HANDLE_VALUE) {
      keeper_.reset(keeper);
      return true;
    }
  }
  HANDLE keeper = nullptr;
  if (DuplicateHandle(process, file, process, &keeper, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    keeper_.reset(keeper);
  }
  return keeper_ != nullptr;
}

void OutputFile::release_held_signals() {
  if (opening_.owns_lock()) {
    opening_.unlock();
  }
}

}  // namespace cryptcore
