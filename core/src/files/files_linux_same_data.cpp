// SPDX-License-Identifier: Apache-2.0
// Whether an output and an input lie on the same data, by any path or by way
// of loop devices.
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "files/files_linux_checks.hpp"

namespace cryptcore {

namespace {

// Where the data of an open file lie, for a file that can hold the input's:
// a regular file or FIFO, or a block device; nothing for other files.
bool place_of(const struct stat& status, DataPlace& place) {
  if (S_ISBLK(status.st_mode)) {
    place = DataPlace{true, status.st_rdev, 0};
    return true;
  }
  if (S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode)) {
    place = DataPlace{false, status.st_dev, status.st_ino};
    return true;
  }
  return false;
}

// What the loop device numbered `device` keeps its data in, by the path that
// the kernel shows in sysfs (which only a loop device has).
bool loop_backing_of(dev_t device, DataPlace& place) {
  char sysfs_path[64];
  std::snprintf(sysfs_path, sizeof sysfs_path, "/sys/dev/block/%u:%u/loop/backing_file",
                major(device), minor(device));
  Descriptor sysfs;
  sysfs.own(::open(sysfs_path, O_RDONLY | O_CLOEXEC));
  char path[PATH_MAX];
  const ssize_t got = sysfs.get() < 0 ? -1 : ::read(sysfs.get(), path, sizeof path - 1);
  if (got <= 1) {
    return false;
  }
  path[got - 1] = '\0';  // the line's end
  struct stat status {};
  return ::stat(path, &status) == 0 && place_of(status, place);
}

}  // namespace

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

LoopBacking loop_backing(int fd, const struct stat& status) {
  LoopBacking backing;
  struct loop_info64 info {};
  if (!S_ISBLK(status.st_mode) || ::ioctl(fd, LOOP_GET_STATUS64, &info) != 0) {
    return backing;
  }
  // The kernel gives device numbers in the encoding of stat's, which
  // major() and minor() read; a backing file that is a device has one.
  DataPlace place{false, makedev(major(info.lo_device), minor(info.lo_device)),
                  static_cast<ino_t>(info.lo_inode)};
  if (info.lo_rdevice != 0) {
    place = DataPlace{true, makedev(major(info.lo_rdevice), minor(info.lo_rdevice)), 0};
  }
  do {
    backing.places[backing.depth++] = place;
  } while (place.block && backing.depth < LoopBacking::kMaxDepth &&
           loop_backing_of(place.device, place));
  return backing;
}

bool overwrites(const struct stat& output, const LoopBacking& output_backing,
                const struct stat& input, const LoopBacking& input_backing) {
  DataPlace output_places[LoopBacking::kMaxDepth + 1];
  DataPlace input_places[LoopBacking::kMaxDepth + 1];
  if (!place_of(output, output_places[0]) || !place_of(input, input_places[0])) {
    return false;
  }
  std::copy_n(output_backing.places, output_backing.depth, output_places + 1);
  std::copy_n(input_backing.places, input_backing.depth, input_places + 1);
  for (int out = 0; out <= output_backing.depth; ++out) {
    for (int in = 0; in <= input_backing.depth; ++in) {
      if (output_places[out] == input_places[in]) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace cryptcore
