// SPDX-License-Identifier: Apache-2.0
// The loop that serves a cipher stream from one file descriptor to another.
#pragma once

#include "cryptcore/outcome.hpp"
#include "format/incremental_state.hpp"
#include "io/pipeline.hpp"
#include "io/progress_meter.hpp"
#include "io/write_fence.hpp"

namespace cryptcore {

// Runs the initialised `cipher` over everything `input_fd` yields until its
// end, writing the result to `output_fd` in whole chunks and a final tail.
// Reads fill a whole chunk unless the input ends, so that a short read from a
// pipe is never taken for the final chunk. Nothing is written after a failure.
// An input long enough to pay for a second thread (or one of unknown length)
// goes through `ring` on two threads (pipeline.hpp), the second thread's
// writes to a regular file going through `fence`; a short one through the
// cipher's own chunk buffer on this thread alone. Each chunk taken is counted
// on `progress`, and the run stops with Cancelled when it says stop. Every
// thread has ended when it returns; the keys may still be set.
Outcome serve(IncrementalState& cipher, int input_fd, int output_fd, ChunkRing& ring,
              WriteFence& fence, ProgressMeter& progress);

}  // namespace cryptcore
