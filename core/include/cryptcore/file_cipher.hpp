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
// be taken back, so the caller discards it. On POSIX, writing to a closed
// pipe raises SIGPIPE and writing past the file-size limit (RLIMIT_FSIZE,
// `ulimit -f`) raises SIGXFSZ, each of which by default ends the process on
// the spot: ignore both to get WriteFailed instead, as the programs do.
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
//   the same FIFO or block device, or on Linux a loop device and the file
//   behind it), or on Linux a link or file that the kernel's protections of
//   shared sticky folders refuse to a plain open; the input is left
//   untouched. A new output has no name until the run has succeeded:
//   OutputOpenFailed also when another file took that name meanwhile, which
//   is left as it is.
// - Then the outcomes of crypt_stream() (with SIGPIPE and SIGXFSZ ignored as
//   said there, or such a failure ends the process before it can take back
//   anything), and WriteFailed if syncing (where a regular output's data,
//   and on POSIX a new output's folder, are synced before Ok) or closing the
//   output fails. After any of these failures the output is taken back: a
//   regular file is emptied and removed (only emptied where its folder does
//   not allow the removal), the standard output is cut back to where the run
//   began but never below its length then, and a device or pipe is left
//   alone. The file removed is the one the run opened, whatever became of
//   the path: on POSIX in the folder that held it then, on Windows through a
//   handle of its own, whatever its name became.
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

// What discard_unfinished_output() found in its workspace.
enum class RunOutput : std::uint8_t {
  // No file run has an output there: none has begun, or the last one failed
  // and took back its output itself.
  None,
  // A file run was in progress: its output has been taken back.
  TakenBack,
  // The last file run's output is complete: it is left as it is. This holds
  // from the moment crypt_file() has closed it with success, before it
  // returns Ok, until the next crypt_file() call on the workspace.
  Complete,
};
// Told how many bytes of the input a file run has taken so far: on the
// thread that called crypt_file(), between chunks, at the first chunk and
// then at most four times a second, and always once more with the input's
// whole length when all of it has been written, just before the output is
// made final (synced and named). Returning false stops the run
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
// as a failed run does, and does nothing if there is none or if the run's
// output is already complete. A program calls it when it is stopped from
// outside, so that a killed run leaves no partial output that could pass for
// a whole one, and, when it returns Complete, lets the process end as after
// a success (status 0, the signal dropped), so that its caller never sees a
// failure beside a whole output:
// - on POSIX from the handler of a signal that ends the process (SIGINT,
//   SIGTERM, ...), for which it makes only async-signal-safe calls. The
//   handler must run on the thread that called crypt_file() (block those
//   signals in every other thread; the library's own thread blocks them):
//   it stops the writes of the run's second thread, not those of the thread
//   it interrupts elsewhere. crypt_file() holds back the signals of its
//   thread from the moment it creates or empties the output until the output
//   is known here, so that a signal in between takes it back too, and while
//   it makes the output complete, so that a handler never finds it half
//   done: a signal held meanwhile is delivered as the caller's signal mask
//   comes back, when the handler finds the output complete (or unfinished,
//   if it could not be made complete). A write of the second thread that
//   hangs (on a frozen or network file system) is waited for two seconds at
//   most: if it ends later, its chunk may stay in an output that could only
//   be emptied or cut back, or under another name of it (a hard link);
// - on Windows from a console control handler (Ctrl-C, Ctrl-Break, the
//   console closing), which runs on a thread of its own: it first stops the
//   thread that runs crypt_file(), for good, so that no write of that thread
//   lands after the cleanup; while that thread makes the output complete,
//   this waits for the outcome.
// Once it has returned TakenBack the run never goes on: the process must end.
// Calls must not overlap (a second one returns at once, before the first is
// done).
RunOutput discard_unfinished_output(CipherWorkspace& workspace) noexcept;

}  // namespace cryptcore
