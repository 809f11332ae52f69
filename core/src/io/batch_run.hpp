// SPDX-License-Identifier: Apache-2.0
// Decryption from one regular file to another on two threads that share all
// of the work: each reads, decrypts and writes whole batches of chunks.
#pragma once

#include <optional>

#include "cryptcore/outcome.hpp"
#include "format/incremental_state.hpp"
#include "io/pipeline.hpp"
#include "io/progress_meter.hpp"
#include "io/write_fence.hpp"

namespace cryptcore {

// Serves the initialised, decrypting `cipher` from the regular file
// `input_fd` to the regular file `output_fd`, which must end where the run
// starts writing and must not append. Each of two threads takes the next
// batch of chunks in turn, reads it at its place in the input together with
// the ciphertext just before it, decrypts it with keys of its own
// (ChunkDecryptor) in its half of `ring`, and writes it at its place in the
// output, the helper through `fence`. So both cores read, decrypt and write,
// and each batch stays in one core's cache from its read to its write. The
// bytes, outcome and progress are those of the one-thread loop: a batch is
// written only once every batch before it has been read, so nothing after
// the end of the input is written; when several batches fail, the status is
// that of the first; and a failed run cuts the output back to where that
// batch starts. Both descriptors' offsets are left where the one-thread loop
// leaves them. nullopt, before anything is read or written, when the thread
// or the keys' copies cannot be had.
std::optional<Outcome> serve_in_batches(IncrementalState& cipher, int input_fd, int output_fd,
                                        ChunkRing& ring, WriteFence& fence,
                                        ProgressMeter& progress);

}  // namespace cryptcore
