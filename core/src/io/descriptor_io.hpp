// SPDX-License-Identifier: Apache-2.0
// Reading and writing whole buffers on file descriptors, retried when a
// signal interrupts a call and, on a non-blocking descriptor, once it is
// ready: shared by the one-thread loop and the pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace cryptcore {

// One read into `buffer`: the bytes it gave (0 at the end of input), or
// nullopt on a read error.
std::optional<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer);
// Reads until `buffer` is full or the input ends; nullopt on a read error.
std::optional<std::size_t> read_full(int fd, std::span<std::uint8_t> buffer);
// Writes all of `bytes`; false on a write error.
bool write_all(int fd, std::span<const std::uint8_t> bytes);

}  // namespace cryptcore
