// SPDX-License-Identifier: Apache-2.0
// How a pipelined run shares its work between its two threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "format/incremental_state.hpp"

namespace cryptcore {

// How a run shares the work between the calling thread, which runs the
// cipher, and its helper, which writes.
struct Layout {
  // The helper also reads (ahead of the worker); otherwise the calling
  // thread reads before it works. Only an input whose reads never wait for
  // another process is read there, or a chunk could wait to be written
  // while the helper waits for input.
  bool helper_reads = false;
  // The last passes of every chunk, which the helper runs before writing.
  std::size_t helper_passes = 0;
  // The output is a regular file, which a failed or killed run takes back:
  // the helper's writes to it go through the ring's WriteFence.
  bool file_output = false;
  // The calling thread reads an input that may keep it waiting for long (a
  // pipe, a terminal, a socket): it waits so that a failed write of the
  // helper ends the wait at once, as it would end the one-thread loop.
  bool input_may_wait = false;
  // How many made chunks the helper lets gather before it writes them in
  // one call. 1 unless both ends are storage: a reader may be waiting for
  // each chunk (a pipe, a socket, a terminal), or the input may stall with
  // made chunks in the ring.
  std::uint64_t write_batch = 1;
  // Decrypting from a regular file to one that ends where the run writes
  // from: the two threads share all of the work, each reading, decrypting
  // and writing batches of its own at their places (batch_run.hpp), and the
  // fields above do not apply.
  bool batches = false;
};

// The layout for serving the initialised `cipher` from `input_fd` to
// `output_fd`; nullopt when the input is too short to pay for a thread, or is
// a directory.
std::optional<Layout> choose_layout(const IncrementalState& cipher, int input_fd, int output_fd);

}  // namespace cryptcore
