// SPDX-License-Identifier: Apache-2.0
#include "io/service_loop.hpp"

#include <optional>

#include "io/descriptor_io.hpp"

namespace cryptcore {

namespace {

// One thread reads, transforms and writes in turn, through the two buffers.
Outcome serve_serially(CipherStream& stream, int input_fd, int output_fd, ChunkBuffer input_buffer,
                       ChunkBuffer output_buffer) {
  stream.attach(input_buffer, output_buffer);
  // Once a read comes back short the input has ended; it is not read again,
  // so nothing can follow the final chunk.
  bool input_ended = false;
  for (;;) {
    switch (stream.resume()) {
      case YieldCode::NeedInput: {
        std::size_t length = 0;
        if (!input_ended) {
          const std::optional<std::size_t> got = read_full(input_fd, input_buffer);
          if (!got) {
            return Outcome::ReadFailed;
          }
          length = *got;
          input_ended = length < kChunkSize;
        }
        stream.fill_input(length);
        break;
      }
      case YieldCode::OutputFull:
        if (!write_all(output_fd, stream.take_output())) {
          return Outcome::WriteFailed;
        }
        break;
      case YieldCode::Finished:
        if (stream.failure() != StreamFailure::None) {
          return outcome_of(stream.failure());
        }
        return write_all(output_fd, stream.take_output()) ? Outcome::Ok : Outcome::WriteFailed;
    }
  }
}

}  // namespace

Outcome serve(CipherStream& stream, int input_fd, int output_fd, ChunkBuffer input_buffer,
              ChunkBuffer output_buffer, ChunkRing& ring) {
  if (const std::optional<Outcome> outcome = serve_pipelined(stream, input_fd, output_fd, ring)) {
    return *outcome;
  }
  return serve_serially(stream, input_fd, output_fd, input_buffer, output_buffer);
}

}  // namespace cryptcore
