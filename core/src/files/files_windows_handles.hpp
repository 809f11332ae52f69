// SPDX-License-Identifier: Apache-2.0
// What the opening of a Windows output and its commit or discard share.
#pragma once

#include <windows.h>

#include <cstdint>

namespace cryptcore {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What a new output's handles need to give it its name: the right to rename
// it (DELETE) and to read and change its attributes.
inline constexpr DWORD kNamingRights = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES;

// The handle behind the C runtime's descriptor `fd`.
HANDLE handle_of(int fd);
// Marks the file behind `handle` to be deleted as its last handle closes, or
// clears that mark.
bool mark_for_deletion(HANDLE handle, bool deleted);
// Shortens the file behind `handle` to `length` bytes if it is longer,
// without moving any file pointer.
bool cut_back(HANDLE handle, std::int64_t length);

}  // namespace cryptcore
