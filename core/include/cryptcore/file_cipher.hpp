// SPDX-License-Identifier: Apache-2.0
// The library's entry points for embedding: encrypt or decrypt a whole stream
// (two open file descriptors) or a whole file (two paths) with a passphrase,
// exactly as singlecrypt and cascadecrypt do, and report how the run ended.
// The programs are a thin command line over crypt_file().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "cryptcore/cipher_options.hpp"
#include "cryptcore/outcome.hpp"
#include "cryptcore/secret_bytes.hpp"

namespace cryptcore {

// The size and alignment of a workspace. What it holds is the library's own,
// so that it can change without changing this header; the size is part of the
// library's binary interface, so a program must be rebuilt against the header
// of the library it links (a new size comes with a new major version).
inline constexpr std::size_t kCipherWorkspaceSize = 1160 * 1024;
inline constexpr std::size_t kCipherWorkspaceAlignment = 64;

// What a run works in: the cipher stream (its keys and its worker's frame),
// both 64 KiB chunk buffers of a short run, the ring of a long one with what
// its two threads share, and the output of the file run in progress, which
// the library builds in this fixed storage. Once the keys are set a run
// allocates nothing (but what the system takes to start a long run's second
// thread), so a program that keeps its workspace in static storage never
// touches the heap while data moves (and only the pages a run uses become
// resident). At over a megabyte it is too big for a thread's stack: keep it
// in static storage or allocate it. A workspace serves one run at a time and may be reused
// for the next; runs in different workspaces may go on at once on different
// threads.
class CipherWorkspace {
 public:
  CipherWorkspace() noexcept;
  ~CipherWorkspace();
  CipherWorkspace(const CipherWorkspace&) = delete;
  CipherWorkspace& operator=(const CipherWorkspace&) = delete;

 private:
  friend class Workspace;
  alignas(kCipherWorkspaceAlignment) std::byte storage_[kCipherWorkspaceSize];
};

// Encrypts or decrypts everything `input_fd` yields until its end, writing the
// result to `output_fd`; neither descriptor is closed. Reads fill whole chunks,
// so pipes and terminals work like files, and a non-blocking descriptor is
// waited for. Outcomes: Ok, ReadFailed, WriteFailed, CipherFailed (also when
// the crypto library cannot give SHA-1 or AES-256-CBC), LengthUnsupported, and
// InvalidArgument for a `direction` or `schedule` out of range (nothing is
// read). Whatever was written before a failure stays written: a stream cannot
// be taken back, so the caller discards it. Writing to a closed pipe raises
// SIGPIPE; ignore that signal to get WriteFailed instead.
Outcome crypt_stream(CipherWorkspace& workspace, std::string_view passphrase, Direction direction,
                     KeySchedule schedule, int input_fd, int output_fd);
// The same with a workspace of its own, allocated for this run.
Outcome crypt_stream(std::string_view passphrase, Direction direction, KeySchedule schedule,
                     int input_fd, int output_fd);

// Encrypts or decrypts the file at `input_path` into the file at
// `output_path`. A new output file gets the permission bits of a regular input
// (at most 0666) less the umask; on Windows its folder's inherited ACL, or,
// from an input that nobody but its owner, SYSTEM and the Administrators may
// read, an ACL that lets nobody but the user, SYSTEM and the Administrators in
// either. An existing output keeps its owner and permissions and is emptied.
// Either path may name a device or a pipe; /dev/stdin, /dev/fd/0, /dev/stdout
// and /dev/fd/1 name the process's own standard streams (on Windows too),
// which are used as inherited: from their current offset, not emptied, and on
// Windows switched to binary mode.
// - InvalidArgument: a null `passphrase` or path, or a `direction` or
//   `schedule` out of range; nothing is opened.
// - InputOpenFailed: the input cannot be opened for reading, or is a
//   directory; no output is created.
// - OutputOpenFailed: the output cannot be opened for writing, or it is the
//   input itself (the same regular file by any path, symbolic or hard link,
//   or the same block device); the input is left untouched.
// - Then the outcomes of crypt_stream(), and WriteFailed if closing the output
//   fails. After any of these failures the output is taken back: a regular
//   file is emptied and removed (only emptied where its folder does not allow
//   the removal), the standard output is cut back to where the run began, and
//   a device or pipe is left alone. The file removed is the one the run
//   opened, whatever became of the path: on POSIX in the folder that held it
//   then, on Windows through a handle of its own, whatever its name became.
// The keys are derived only once both files are open, so that none exists
// while an open waits (on a FIFO, say), and `passphrase` is destroyed (wiped)
// as soon as they are, before any data moves.
Outcome crypt_file(CipherWorkspace& workspace, std::unique_ptr<SecretBytes> passphrase,
                   Direction direction, KeySchedule schedule, const char* input_path,
                   const char* output_path);
// The same with a private copy of `passphrase` and a workspace of its own,
// both allocated for this run.
Outcome crypt_file(std::string_view passphrase, Direction direction, KeySchedule schedule,
                   const char* input_path, const char* output_path);

// Told how many bytes of the input a file run has taken so far: on the
// thread that called crypt_file(), between chunks, at the first chunk and
// then at most four times a second, and always once more with the input's
// whole length when the run has succeeded. Returning false stops the run
// (so does throwing): the output is taken back as after a failure, and the
// outcome is Cancelled.
using ProgressCallback = std::function<bool(std::uint64_t bytes_done)>;
// The two forms of crypt_file() above, telling `progress` (if not empty).
Outcome crypt_file(CipherWorkspace& workspace, std::unique_ptr<SecretBytes> passphrase,
                   Direction direction, KeySchedule schedule, const char* input_path,
                   const char* output_path, const ProgressCallback& progress);
Outcome crypt_file(std::string_view passphrase, Direction direction, KeySchedule schedule,
                   const char* input_path, const char* output_path,
                   const ProgressCallback& progress);

// Takes back the output of the crypt_file() run in progress in `workspace`,
// as a failed run does, and does nothing if there is none. A program calls it
// when it is stopped from outside, so that a killed run leaves no partial
// output that could pass for a whole one:
// - on POSIX from the handler of a signal that ends the process (SIGINT,
//   SIGTERM, ...), for which it makes only async-signal-safe calls. The
//   handler must run on the thread that called crypt_file() (block those
//   signals in every other thread; the library's own thread blocks them):
//   it stops the writes of the run's second thread, not those of the thread
//   it interrupts elsewhere. crypt_file() holds back the signals of its
//   thread from the moment it creates or empties the output until the output
//   is known here, so that a signal in between takes it back too;
// - on Windows from a console control handler (Ctrl-C, Ctrl-Break, the
//   console closing), which runs on a thread of its own: it first stops the
//   thread that runs crypt_file(), for good, so that no write of that thread
//   lands after the cleanup.
// The run never goes on: the process must end once this returns. Calls must
// not overlap (a second one returns at once, before the first is done).
void discard_unfinished_output(CipherWorkspace& workspace) noexcept;

}  // namespace cryptcore
