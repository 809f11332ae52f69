// SPDX-License-Identifier: Apache-2.0
#include "io/layout.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/pipeline.hpp"

namespace cryptcore {

std::optional<Layout> choose_layout(const IncrementalState& cipher, int input_fd, int output_fd) {
  struct stat input {};
  if (::fstat(input_fd, &input) != 0 || S_ISDIR(input.st_mode)) {
    return std::nullopt;
  }
  if (S_ISREG(input.st_mode)) {
    const off_t offset = ::lseek(input_fd, 0, SEEK_CUR);
    if (offset < 0 || input.st_size - offset < static_cast<off_t>(kPipelineMinInput)) {
      return std::nullopt;
    }
  }
  struct stat output {};
  const bool storage_input = S_ISREG(input.st_mode) || S_ISBLK(input.st_mode);
  const bool storage_output =
      ::fstat(output_fd, &output) == 0 && (S_ISREG(output.st_mode) || S_ISBLK(output.st_mode));
  // The work is split so that neither thread waits long for the other.
  // Encrypting, the cipher costs the most: one pass has the calling thread
  // to itself while the helper reads ahead and writes behind; the cascade
  // gives each thread one pass. Decrypting costs less than the copies: the
  // calling thread reads and decrypts while the helper writes, so that
  // reading and writing overlap.
  Layout layout;
  if (!cipher.decrypting()) {
    layout.helper_passes = cipher.passes() > 1 ? 1 : 0;
    layout.helper_reads = layout.helper_passes == 0 && storage_input;
  }
  layout.input_may_wait = !layout.helper_reads && !storage_input;
  layout.write_batch = storage_input && storage_output ? kChunksPerCall : 1;
  layout.file_output = storage_output && S_ISREG(output.st_mode);
#if !defined(_WIN32)
  // Each batch is written at its place only where writing in turn would put
  // it there too: not to an output that appends, over bytes after the
  // offset, or to the input itself.
  if (cipher.decrypting() && S_ISREG(input.st_mode) && layout.file_output) {
    const int flags = ::fcntl(output_fd, F_GETFL);
    const off_t offset = ::lseek(output_fd, 0, SEEK_CUR);
    layout.batches = flags >= 0 && (flags & O_APPEND) == 0 && offset >= 0 &&
                     output.st_size <= offset &&
                     (input.st_dev != output.st_dev || input.st_ino != output.st_ino);
  }
#endif
  return layout;
}

}  // namespace cryptcore
