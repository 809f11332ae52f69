// SPDX-License-Identifier: Apache-2.0
/* The library's C interface (C99, usable from C++): encrypt or decrypt in
 * memory, in any pieces, or a whole file, exactly as singlecrypt and
 * cascadecrypt do. The shared library libcryptcore.so.1 (cryptcore.dll on
 * Windows) exports these functions and nothing else; the numbers, names and
 * signatures here never change within a major version.
 *
 * The format has no integrity check: a wrong passphrase or a damaged file is
 * found only through the padding of a short last chunk, and a file of whole
 * 64 KiB chunks decrypts under any passphrase without an error. Nothing in a
 * file says which program wrote it, so the schedule is always given.
 *
 * No function keeps global state: streams in different memory may be used on
 * different threads at once, and so may file runs. Every argument is checked;
 * a call that cannot be served returns a status and changes nothing. */
#ifndef CRYPTCORE_CRYPTCORE_H
#define CRYPTCORE_CRYPTCORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a call ended. 0 to 7 are the programs' exit statuses. */
typedef enum cryptcore_status {
  CRYPTCORE_OK = 0,
  CRYPTCORE_INVALID_ARGUMENT = 1,   /* a null pointer, a length, an enum out of range, a
                                       stream not started, finished or wiped */
  CRYPTCORE_INPUT_OPEN_FAILED = 2,  /* the input cannot be opened, or is a directory */
  CRYPTCORE_OUTPUT_OPEN_FAILED = 3, /* the output cannot be opened, or is the input */
  CRYPTCORE_READ_FAILED = 4,        /* reading the input failed (not its end) */
  CRYPTCORE_WRITE_FAILED = 5,       /* writing or closing the output failed */
  CRYPTCORE_CIPHER_FAILED = 6,      /* wrong passphrase or damaged file (bad padding,
                                       ragged ciphertext), or no SHA-1 or AES-256-CBC */
  CRYPTCORE_LENGTH_UNSUPPORTED = 7, /* the last partial chunk is too long to pad */
  CRYPTCORE_OUTPUT_TOO_SMALL = 64,  /* library only: nothing was consumed or written */
  CRYPTCORE_CANCELLED = 65,         /* library only: a progress callback said stop */
  CRYPTCORE_OUT_OF_MEMORY = 66      /* library only: a file run could not allocate its
                                       workspace; nothing was opened */
} cryptcore_status;

/* Which program's cipher: one AES-256-CBC pass, or two with two keys. */
typedef enum cryptcore_schedule { CRYPTCORE_SINGLE = 1, CRYPTCORE_CASCADE = 2 } cryptcore_schedule;
typedef enum cryptcore_direction {
  CRYPTCORE_ENCRYPT = 0,
  CRYPTCORE_DECRYPT = 1
} cryptcore_direction;

/* A run in memory, built in the caller's memory by cryptcore_stream_init(). */
typedef struct cryptcore_stream cryptcore_stream;

/* The bytes a stream needs; its memory must be aligned to 64 bytes. */
size_t cryptcore_stream_size(void);

/* Derives the keys from `passphrase_length` bytes at `passphrase` (any bytes,
 * zero bytes included; NULL only with length 0) and builds a stream in
 * `memory`, setting `*stream` to it. A stream in progress must be wiped
 * before its memory is used for another (one that finished or failed holds
 * no keys). On failure `*stream` is set to NULL (when `stream` is not NULL).
 * INVALID_ARGUMENT for a null or unaligned `memory`, a `memory_size` below
 * cryptcore_stream_size(), or an enum out of range; CIPHER_FAILED if the
 * platform gives no SHA-1 or AES-256-CBC. */
cryptcore_status cryptcore_stream_init(cryptcore_stream** stream, void* memory, size_t memory_size,
                                       const uint8_t* passphrase, size_t passphrase_length,
                                       cryptcore_direction direction, cryptcore_schedule schedule);

/* The output room an update of `input_length` bytes may need: the length
 * rounded up to whole 65,536-byte chunks (SIZE_MAX if that does not fit). */
size_t cryptcore_update_capacity(size_t input_length);

/* Takes all `input_length` bytes and writes every chunk they complete to
 * `output` (`*output_length` bytes, a multiple of 65,536); the rest waits for
 * the next update or for finish. INVALID_ARGUMENT if input and output overlap.
 * OUTPUT_TOO_SMALL if `output_capacity` is below
 * cryptcore_update_capacity(input_length), nothing consumed. A stream that
 * failed (CIPHER_FAILED, LENGTH_UNSUPPORTED) gives that status again until it
 * is started anew; one finished or wiped gives INVALID_ARGUMENT. */
cryptcore_status cryptcore_stream_update(cryptcore_stream* stream, const uint8_t* input,
                                         size_t input_length, uint8_t* output,
                                         size_t output_capacity, size_t* output_length);

/* Ends the run: writes the last short chunk, padded when encrypting, its
 * padding checked and removed when decrypting (65,536 bytes of room always
 * do). CIPHER_FAILED for a bad padding (a wrong passphrase or a damaged
 * file); LENGTH_UNSUPPORTED for a tail too long to pad. The keys are wiped
 * whatever the status (but OUTPUT_TOO_SMALL and INVALID_ARGUMENT). */
cryptcore_status cryptcore_stream_finish(cryptcore_stream* stream, uint8_t* output,
                                         size_t output_capacity, size_t* output_length);

/* Wipes the keys and the bytes held back; call it before the memory is freed.
 * Any number of times; NULL is ignored. */
void cryptcore_stream_wipe(cryptcore_stream* stream);

/* The ciphertext length of `plaintext_length` bytes under `schedule`;
 * UINT64_MAX for a length the format refuses (LENGTH_UNSUPPORTED) or a
 * schedule out of range. */
uint64_t cryptcore_encrypted_size(uint64_t plaintext_length, cryptcore_schedule schedule);

/* Told how many bytes of the input a file run has taken; a nonzero return
 * stops the run. */
typedef int (*cryptcore_progress)(void* context, uint64_t bytes_done);

/* Encrypts or decrypts the file at `input_path` into the file at
 * `output_path`, as the programs do, with their statuses (2 to 7) and their
 * cleanup: a failed run's output file is emptied and removed. The paths are
 * the platform's own bytes (the ANSI code page on Windows). `progress`, if
 * not NULL, is called on the calling thread between chunks, at most a few
 * times a second, and always once with the input's whole length when all of
 * it has been written, just before the output is made final; a nonzero
 * return stops the run, takes the output back as a failure does, and gives
 * CANCELLED. The passphrase is copied and wiped once the keys are derived.
 */
cryptcore_status cryptcore_crypt_file(const char* input_path, const char* output_path,
                                      const uint8_t* passphrase, size_t passphrase_length,
                                      cryptcore_direction direction, cryptcore_schedule schedule,
                                      cryptcore_progress progress, void* context);

/* A short English sentence for a status, never NULL ("unknown status" for a
 * number that is none). */
const char* cryptcore_status_string(cryptcore_status status);

/* The library's version, "MAJOR.MINOR.PATCH". */
const char* cryptcore_version(void);

#ifdef __cplusplus
}
#endif

#endif /* CRYPTCORE_CRYPTCORE_H */
