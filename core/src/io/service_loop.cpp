// SPDX-License-Identifier: Apache-2.0
#include "io/service_loop.hpp"

#include <optional>

#include "io/descriptor_io.hpp"

namespace cryptcore {

namespace {

// One thread reads a chunk into the cipher's own buffer, transforms it there
// and writes it from there, in turn.
Outcome serve_serially(IncrementalState& cipher, int input_fd, int output_fd,
                       ProgressMeter& progress) {
  const ChunkBuffer buffer = cipher.buffer();
  for (;;) {
    const std::optional<std::size_t> got = read_full(input_fd, buffer);
    if (!got) {
      return Outcome::ReadFailed;
    }
    if (!progress.advance(*got)) {
      return Outcome::Cancelled;
    }
    // Once a read comes back short the input has ended; it is not read
    // again, so nothing can follow the final chunk.
    if (*got < kChunkSize) {
      std::size_t length = 0;
      const Outcome outcome = cipher.finish_in_place(buffer, *got, length);
      if (outcome != Outcome::Ok) {
        return outcome;
      }
      return write_all(output_fd, buffer.first(length)) ? Outcome::Ok : Outcome::WriteFailed;
    }
    if (const Outcome outcome = cipher.update_in_place(buffer); outcome != Outcome::Ok) {
      return outcome;
    }
    if (!write_all(output_fd, buffer)) {
      return Outcome::WriteFailed;
    }
  }
}

}  // namespace

Outcome serve(IncrementalState& cipher, int input_fd, int output_fd, ChunkRing& ring,
              WriteFence& fence, ProgressMeter& progress) {
  if (const std::optional<Outcome> outcome =
          serve_pipelined(cipher, input_fd, output_fd, ring, fence, progress)) {
    return *outcome;
  }
  return serve_serially(cipher, input_fd, output_fd, progress);
}

}  // namespace cryptcore
