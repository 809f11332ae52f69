// SPDX-License-Identifier: Apache-2.0
// The end of a Windows output: made final (synced, named, closed) once the
// run has succeeded, or taken back after a failure or from a console handler.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "files/files.hpp"
#include "files/files_windows_handles.hpp"

namespace cryptcore {

Outcome OutputFile::commit() {
  if (identity_.on_disk) {
    // The data are on disk before the run reports success; a new file then
    // gets its name, which is made to last too.
    const HANDLE file = keeper_.get();
    if (!FlushFileBuffers(file)) {
      return Outcome::WriteFailed;
    }
    if (!final_path_.empty()) {
      const bool named = give_name();
      const DWORD error = GetLastError();
      if (!(named && FlushFileBuffers(file))) {
        // Whatever name it has by now, it goes.
        mark_for_deletion(file, true);
        // Another file took the name meanwhile: the output cannot go there,
        // as when it cannot be opened.
        return !named && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
                   ? Outcome::OutputOpenFailed
                   : Outcome::WriteFailed;
      }
    }
  }
  return fd_.close() ? Outcome::Ok : Outcome::WriteFailed;
}

bool OutputFile::give_name() const {
  const HANDLE file = keeper_.get();
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  // Only the attribute changes (times of 0 are left as they are), to what a
  // file created with FILE_ATTRIBUTE_NORMAL has.
  const DWORD attributes = basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_HIDDEN};
  basic = FILE_BASIC_INFO{};
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  // The full path, in storage aligned for the structure's handle.
  const std::size_t name_bytes = final_path_.size() * sizeof(wchar_t);
  const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(wchar_t);
  std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* const rename = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
  // Never over another file: one that took the name meanwhile stays, and
  // the run fails.
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(rename->FileName, final_path_.c_str(), name_bytes + sizeof(wchar_t));
  // The mark for deletion is cleared last before the rename: a kill in
  // between leaves a whole file, under its temporary name.
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) &&
         mark_for_deletion(file, false) &&
         SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(size));
}

void OutputFile::stop_writer() const {
  if (writer_ == nullptr || GetCurrentThreadId() == writer_id_) {
    return;
  }
  // Stopped for good. A suspension takes hold only once the thread is out of
  // the kernel; GetThreadContext waits for that, so a write in progress is
  // over before the cleanup begins.
  if (SuspendThread(writer_.get()) != static_cast<DWORD>(-1)) {
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(writer_.get(), &context);
  }
}

bool OutputFile::discard() const {
  const HANDLE file = keeper_.get();
  if (!identity_.on_disk || file == nullptr) {
    return false;
  }
  stop_writer();
  if (fd_.borrowed()) {
    // The position goes back too, so that whoever writes next to the same
    // standard output goes on right after what was there before the run.
    LARGE_INTEGER start{};
    start.QuadPart = start_;
    const int fd = fd_.get();
    return cut_back(file, start_) &&
           (fd < 0 || SetFilePointerEx(handle_of(fd), start, nullptr, FILE_BEGIN));
  }
  // Emptied first, so that nothing partial survives under another name (a
  // hard link) or where the delete is not allowed.
  const bool emptied = cut_back(file, 0);
  // Deleted when its last handle is closed: the keeper, as the output object
  // ends, or the process.
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) ||
         emptied;
}

}  // namespace cryptcore
