// SPDX-License-Identifier: Apache-2.0
// The checks the Linux file layer makes before it writes an output: whether
// the output would overwrite the input's data (files_linux_same_data.cpp), and
// what the kernel's protections of shared folders would refuse to a plain
// open (files_linux_protections.cpp).
#pragma once

#include <sys/stat.h>

#include "files/files.hpp"

namespace cryptcore {

bool same_file(const struct stat& a, const struct stat& b);
// What the loop device open at `fd` keeps its data in, the first step from
// the kernel itself, for the very device that is open; nothing for any other
// file.
LoopBacking loop_backing(int fd, const struct stat& status);
// Whether writing the output would destroy the input before it is read, or
// feed the run its own output: the same regular file or FIFO, the same block
// device, by whatever path, or data that lie in the same place by way of
// loop devices (a loop device and the file behind it, two loop devices over
// one file).
bool overwrites(const struct stat& output, const LoopBacking& output_backing,
                const struct stat& input, const LoopBacking& input_backing);

// Whether `folder` is in /proc, whose links the kernel follows by its own rules.
bool on_procfs(int folder);
// Whether the kernel would follow, for a plain open, the symbolic link
// `link` found in `folder` (fs.protected_symlinks).
bool may_follow(int folder, const struct stat& link);
// Whether the kernel would open, for a plain open that may create the file
// (O_CREAT), the existing `file` found in `folder` (fs.protected_regular and
// fs.protected_fifos).
bool may_open_existing(int folder, const struct stat& file);

}  // namespace cryptcore
