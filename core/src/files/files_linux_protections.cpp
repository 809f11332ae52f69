// SPDX-License-Identifier: Apache-2.0
// What the kernel's protections of shared folders refuse to a plain open,
// checked at each step of the output's path so that a run opens nothing
// the kernel would not.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/fsuid.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>

#include "files/files_linux_checks.hpp"

namespace cryptcore {

namespace {

// The level of one of the kernel's protections of shared folders, read now
// from /proc/sys/fs: 0 (off), 1 or 2. Where it cannot be read, 1, what the
// common distributions set.
int protection_level(const char* sysctl_path) {
  Descriptor sysctl;
  sysctl.own(::open(sysctl_path, O_RDONLY | O_CLOEXEC));
  char level = '1';
  if (sysctl.get() < 0 || ::read(sysctl.get(), &level, 1) != 1 || level < '0' || level > '9') {
    return 1;
  }
  return level - '0';
}

// The user the kernel checks file access against.
uid_t file_system_uid() {
  // An invalid user changes nothing and gives the current one back.
  return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
}

}  // namespace

bool on_procfs(int folder) {
  struct statfs about {};
  return ::fstatfs(folder, &about) == 0 && about.f_type == PROC_SUPER_MAGIC;
}

// Whether the kernel would follow, for a plain open, the symbolic link
// `link` found in `folder`: with fs.protected_symlinks, not in a sticky
// world-writable folder unless the link is the opener's or the folder
// owner's, so that no user can plant a link in /tmp for another to write
// through.
bool may_follow(int folder, const struct stat& link) {
  struct stat place {};
  if (::fstat(folder, &place) != 0) {
    return false;
  }
  if ((place.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) || link.st_uid == place.st_uid ||
      link.st_uid == file_system_uid()) {
    return true;
  }
  return protection_level("/proc/sys/fs/protected_symlinks") == 0;
}

// Whether the kernel would open, for a plain open that may create the file
// (O_CREAT), the existing `file` found in `folder`: with
// fs.protected_regular and fs.protected_fifos, not a regular file or FIFO in
// a sticky folder that is neither the opener's nor the folder owner's, when
// the folder is world-writable (level 1) or group-writable (level 2), so
// that no user can plant a file there for another to write into.
bool may_open_existing(int folder, const struct stat& file) {
  const char* const sysctl_path = S_ISREG(file.st_mode)    ? "/proc/sys/fs/protected_regular"
                                  : S_ISFIFO(file.st_mode) ? "/proc/sys/fs/protected_fifos"
                                                           : nullptr;
  if (sysctl_path == nullptr) {
    return true;
  }
  struct stat place {};
  if (::fstat(folder, &place) != 0) {
    return false;
  }
  if ((place.st_mode & S_ISVTX) == 0 || (place.st_mode & (S_IWOTH | S_IWGRP)) == 0 ||
      file.st_uid == place.st_uid || file.st_uid == file_system_uid()) {
    return true;
  }
  const int level = protection_level(sysctl_path);
  return level == 0 || ((place.st_mode & S_IWOTH) == 0 && level < 2);
}

}  // namespace cryptcore
