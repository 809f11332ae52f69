// SPDX-License-Identifier: Apache-2.0
// The loop that serves a cipher stream from one file descriptor to another.
#pragma once

#include "cryptcore/outcome.hpp"
#include "format/cipher_stream.hpp"
#include "io/pipeline.hpp"

namespace cryptcore {

// Runs the initialised `stream` over everything `input_fd` yields until its
// end, writing the result to `output_fd` in whole chunks and a final tail.
// Reads fill a whole chunk unless the input ends, so that a short read from a
// pipe is never taken for the final chunk. Nothing is written after a failure.
// An input long enough to pay for a second thread (or one of unknown length)
// goes through `ring` on two threads (pipeline.hpp); a short one through the
// two buffers on this thread alone. Every thread has ended when it returns.
Outcome serve(CipherStream& stream, int input_fd, int output_fd, ChunkBuffer input_buffer,
              ChunkBuffer output_buffer, ChunkRing& ring);

}  // namespace cryptcore
