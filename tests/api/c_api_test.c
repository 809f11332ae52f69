// SPDX-License-Identifier: Apache-2.0
/* The C interface from a C99 program, built once against the shared library
 * and once against the archive: the recorded files in random pieces, every
 * argument check, and file runs told and stopped through the progress
 * callback. Usage: c_api_test FILES_TSV (files are made in the current folder).
 * Ends with "N passed, N failed". */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cryptcore/cryptcore.h"

static int passed, failed;

static void check(int ok, const char* what, const char* detail) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    printf("FAIL: %s (%s)\n", what, detail);
  }
}

/* SHA-256 (FIPS 180-4), to compare the output with the recorded digests. */
static const uint32_t k256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
#define ROR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

static void sha256_block(uint32_t h[8], const uint8_t* p) {
  uint32_t w[64], v[8], i;
  for (i = 0; i < 16; ++i) {
    w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 |
           p[4 * i + 3];
  }
  for (i = 16; i < 64; ++i) {
    w[i] = w[i - 16] + (ROR(w[i - 15], 7) ^ ROR(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
           (ROR(w[i - 2], 17) ^ ROR(w[i - 2], 19) ^ (w[i - 2] >> 10));
  }
  memcpy(v, h, sizeof v);
  for (i = 0; i < 64; ++i) {
    uint32_t t1 = v[7] + (ROR(v[4], 6) ^ ROR(v[4], 11) ^ ROR(v[4], 25)) +
                  ((v[4] & v[5]) ^ (~v[4] & v[6])) + k256[i] + w[i];
    uint32_t t2 = (ROR(v[0], 2) ^ ROR(v[0], 13) ^ ROR(v[0], 22)) +
                  ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
    memmove(v + 1, v, 7 * sizeof v[0]);
    v[4] += t1;
    v[0] = t1 + t2;
  }
  for (i = 0; i < 8; ++i) {
    h[i] += v[i];
  }
}

static void sha256_hex(const uint8_t* data, size_t length, char hex[65]) {
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint8_t last[128] = {0};
  size_t tail = length % 64, blocks = tail < 56 ? 1 : 2, i;
  uint64_t bits = (uint64_t)length * 8;
  for (i = 0; i + 64 <= length; i += 64) {
    sha256_block(h, data + i);
  }
  memcpy(last, data + i, tail);
  last[tail] = 0x80;
  for (i = 0; i < 8; ++i) {
    last[64 * blocks - 1 - i] = (uint8_t)(bits >> (8 * i));
  }
  for (i = 0; i < blocks; ++i) {
    sha256_block(h, last + 64 * i);
  }
  for (i = 0; i < 32; ++i) {
    sprintf(hex + 2 * i, "%02x", (unsigned)(h[i / 4] >> (24 - 8 * (i % 4))) & 0xff);
  }
}

static uint32_t random_state = 2026;
static size_t random_below(size_t bound) {
  random_state ^= random_state << 13;
  random_state ^= random_state >> 17;
  random_state ^= random_state << 5;
  return bound == 0 ? 0 : random_state % bound;
}

/* Memory for a stream at 64-byte alignment, which C99 cannot ask malloc for. */
static unsigned char stream_memory[(72 << 10) + 64];
static void* aligned_memory(void) {
  return stream_memory + (64 - (uintptr_t)stream_memory % 64) % 64;
}

/* Runs a new stream over `input` in random pieces into `output` (room for
 * the input and a final chunk); the status of the first call that fails. */
static cryptcore_status run_stream(const uint8_t* passphrase, size_t passphrase_length,
                                   cryptcore_direction direction, cryptcore_schedule schedule,
                                   const uint8_t* input, size_t length, uint8_t* output,
                                   size_t* made) {
  cryptcore_stream* stream;
  size_t at = 0, written = 0;
  cryptcore_status status =
      cryptcore_stream_init(&stream, aligned_memory(), cryptcore_stream_size(), passphrase,
                            passphrase_length, direction, schedule);
  *made = 0;
  while (status == CRYPTCORE_OK && at < length) {
    size_t piece = random_below(length - at + 1);
    status = cryptcore_stream_update(stream, input + at, piece, output + *made,
                                     cryptcore_update_capacity(piece), &written);
    at += piece;
    *made += written;
  }
  if (status == CRYPTCORE_OK) {
    status = cryptcore_stream_finish(stream, output + *made, 65536, &written);
    *made += written;
  }
  cryptcore_stream_wipe(stream);
  return status;
}

static void check_vectors(const char* tsv_path) {
  char line[512], program[32], passphrase_hex[128], ciphertext_length[32], digest[65], got[65];
  FILE* tsv = fopen(tsv_path, "r");
  check(tsv != NULL, "the vectors open", tsv_path);
  while (tsv != NULL && fgets(line, sizeof line, tsv) != NULL) {
    uint8_t passphrase[64];
    unsigned long plaintext_length;
    size_t passphrase_length, i, made, back;
    cryptcore_schedule schedule;
    uint8_t *plaintext, *ciphertext, *decrypted;
    int split;
    if (line[0] == '#' || sscanf(line, "%31s %127s %lu %31s %64s", program, passphrase_hex,
                                 &plaintext_length, ciphertext_length, digest) != 5) {
      continue;
    }
    schedule = strcmp(program, "cascadecrypt") == 0 ? CRYPTCORE_CASCADE : CRYPTCORE_SINGLE;
    passphrase_length = strlen(passphrase_hex) / 2;
    for (i = 0; i < passphrase_length; ++i) {
      unsigned byte;
      sscanf(passphrase_hex + 2 * i, "%2x", &byte);
      passphrase[i] = (uint8_t)byte;
    }
    plaintext = malloc(plaintext_length + 1);
    ciphertext = malloc(plaintext_length + 65536);
    decrypted = malloc(plaintext_length + 65536);
    for (i = 0; i < plaintext_length; ++i) {
      plaintext[i] = (uint8_t)(i % 251);
    }
    {
      uint64_t size = cryptcore_encrypted_size(plaintext_length, schedule);
      char expected[32];
      sprintf(expected, "%" PRIu64, size);
      check(strcmp(size == UINT64_MAX ? "refused" : expected, ciphertext_length) == 0,
            "encrypted_size gives the recorded length", line);
    }
    for (split = 0; split < 4; ++split) {
      cryptcore_status status =
          run_stream(passphrase, passphrase_length, CRYPTCORE_ENCRYPT, schedule, plaintext,
                     plaintext_length, ciphertext, &made);
      if (strcmp(ciphertext_length, "refused") == 0) {
        check(status == CRYPTCORE_LENGTH_UNSUPPORTED, "a refused length gives status 7", line);
        continue;
      }
      sha256_hex(ciphertext, made, got);
      check(status == CRYPTCORE_OK && strcmp(got, digest) == 0, "encrypts to the recorded file",
            line);
      status = run_stream(passphrase, passphrase_length, CRYPTCORE_DECRYPT, schedule, ciphertext,
                          made, decrypted, &back);
      check(status == CRYPTCORE_OK && back == plaintext_length &&
                memcmp(decrypted, plaintext, back) == 0,
            "decrypts to the plaintext", line);
    }
    free(plaintext);
    free(ciphertext);
    free(decrypted);
  }
  if (tsv != NULL) {
    fclose(tsv);
  }
}

static void check_arguments(void) {
  uint8_t in[16] = {0}, out[65536];
  size_t written = 99;
  cryptcore_stream *stream = NULL, *finished = NULL, *failed_stream = NULL, *unused = NULL;
  void* memory = aligned_memory();
  size_t size = cryptcore_stream_size();
  /* Streams in their states, each in its own memory, made in this order. */
  static unsigned char more_memory[2][(72 << 10) + 64];
  void* finished_memory = more_memory[0] + (64 - (uintptr_t)more_memory[0] % 64) % 64;
  void* failed_memory = more_memory[1] + (64 - (uintptr_t)more_memory[1] % 64) % 64;
  cryptcore_stream_init(&finished, finished_memory, size, in, 1, CRYPTCORE_ENCRYPT,
                        CRYPTCORE_SINGLE);
  cryptcore_stream_finish(finished, out, sizeof out, &written);
  cryptcore_stream_init(&failed_stream, failed_memory, size, in, 1, CRYPTCORE_DECRYPT,
                        CRYPTCORE_SINGLE);
  cryptcore_stream_update(failed_stream, in, 5, out, sizeof out, &written);
  cryptcore_stream_finish(failed_stream, out, sizeof out, &written);
  cryptcore_stream_init(&stream, memory, size, NULL, 0, CRYPTCORE_ENCRYPT, CRYPTCORE_CASCADE);
  {
    const struct {
      const char* call;
      cryptcore_status got, want;
    } rows[] = {
        {"init, no stream pointer",
         cryptcore_stream_init(NULL, memory, size, in, 1, CRYPTCORE_ENCRYPT, CRYPTCORE_SINGLE),
         CRYPTCORE_INVALID_ARGUMENT},
        {"init, no memory",
         cryptcore_stream_init(&unused, NULL, size, in, 1, CRYPTCORE_ENCRYPT, CRYPTCORE_SINGLE),
         CRYPTCORE_INVALID_ARGUMENT},
        {"init, memory too small",
         cryptcore_stream_init(&unused, memory, size - 1, in, 1, CRYPTCORE_ENCRYPT,
                               CRYPTCORE_SINGLE),
         CRYPTCORE_INVALID_ARGUMENT},
        {"init, memory not aligned",
         cryptcore_stream_init(&unused, stream_memory + 64 + 1, size, in, 1, CRYPTCORE_ENCRYPT,
                               CRYPTCORE_SINGLE),
         CRYPTCORE_INVALID_ARGUMENT},
        {"init, null passphrase with a length",
         cryptcore_stream_init(&unused, memory, size, NULL, 3, CRYPTCORE_ENCRYPT, CRYPTCORE_SINGLE),
         CRYPTCORE_INVALID_ARGUMENT},
        {"init, direction 2",
         cryptcore_stream_init(&unused, memory, size, in, 1, (cryptcore_direction)2,
                               CRYPTCORE_SINGLE),
         CRYPTCORE_INVALID_ARGUMENT},
        {"init, schedule 0",
         cryptcore_stream_init(&unused, memory, size, in, 1, CRYPTCORE_ENCRYPT,
                               (cryptcore_schedule)0),
         CRYPTCORE_INVALID_ARGUMENT},
        {"update, no stream", cryptcore_stream_update(NULL, in, 1, out, sizeof out, &written),
         CRYPTCORE_INVALID_ARGUMENT},
        {"update, no output length", cryptcore_stream_update(finished, in, 1, out, 1, NULL),
         CRYPTCORE_INVALID_ARGUMENT},
        {"update after finish", cryptcore_stream_update(finished, in, 1, out, sizeof out, &written),
         CRYPTCORE_INVALID_ARGUMENT},
        {"finish after finish", cryptcore_stream_finish(finished, out, sizeof out, &written),
         CRYPTCORE_INVALID_ARGUMENT},
        {"update after a failure",
         cryptcore_stream_update(failed_stream, in, 1, out, sizeof out, &written),
         CRYPTCORE_CIPHER_FAILED},
        {"finish, no stream", cryptcore_stream_finish(NULL, out, sizeof out, &written),
         CRYPTCORE_INVALID_ARGUMENT},
        {"file, no input path",
         cryptcore_crypt_file(NULL, "out", in, 1, CRYPTCORE_ENCRYPT, CRYPTCORE_SINGLE, NULL, NULL),
         CRYPTCORE_INVALID_ARGUMENT},
        {"file, no output path",
         cryptcore_crypt_file("in", NULL, in, 1, CRYPTCORE_ENCRYPT, CRYPTCORE_SINGLE, NULL, NULL),
         CRYPTCORE_INVALID_ARGUMENT},
        {"file, null passphrase with a length",
         cryptcore_crypt_file("in", "out", NULL, 1, CRYPTCORE_ENCRYPT, CRYPTCORE_SINGLE, NULL,
                              NULL),
         CRYPTCORE_INVALID_ARGUMENT},
        {"file, direction -1",
         cryptcore_crypt_file("in", "out", in, 1, (cryptcore_direction)-1, CRYPTCORE_SINGLE, NULL,
                              NULL),
         CRYPTCORE_INVALID_ARGUMENT},
        {"file, schedule 3",
         cryptcore_crypt_file("in", "out", in, 1, CRYPTCORE_DECRYPT, (cryptcore_schedule)3, NULL,
                              NULL),
         CRYPTCORE_INVALID_ARGUMENT},
        {"file, no input",
         cryptcore_crypt_file("no such input", "out", in, 1, CRYPTCORE_DECRYPT, CRYPTCORE_SINGLE,
                              NULL, NULL),
         CRYPTCORE_INPUT_OPEN_FAILED},
    };
    size_t i;
    for (i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
      check(rows[i].got == rows[i].want, rows[i].call, cryptcore_status_string(rows[i].got));
    }
  }
  /* Those that change nothing: the stream started with an empty passphrase
   * still works, and gives the empty output of an empty input. */
  check(
      cryptcore_stream_update(stream, in, 16, out, 65535, &written) == CRYPTCORE_OUTPUT_TOO_SMALL &&
          written == 0,
      "update, room below update_capacity", "status 64, nothing written");
  check(cryptcore_stream_finish(stream, out, sizeof out, &written) == CRYPTCORE_OK && written == 0,
        "finish after refused calls", "the stream is unchanged");
  check(cryptcore_encrypted_size(0, (cryptcore_schedule)9) == UINT64_MAX,
        "encrypted_size, schedule 9", "UINT64_MAX");
  check(strcmp(cryptcore_status_string((cryptcore_status)1000), "unknown status") == 0 &&
            strcmp(cryptcore_version(), "") != 0,
        "status_string and version", "never NULL");
  cryptcore_stream_wipe(NULL);
  cryptcore_stream_wipe(stream);
  cryptcore_stream_wipe(stream);
}

/* What a progress callback saw, and when it says stop. */
struct progress_log {
  uint64_t calls, last, stop_at;
  int backwards;
};
static int log_progress(void* context, uint64_t bytes_done) {
  struct progress_log* log = context;
  log->backwards |= bytes_done < log->last;
  log->last = bytes_done;
  ++log->calls;
  return bytes_done >= log->stop_at;
}

static int file_exists(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file != NULL) {
    fclose(file);
  }
  return file != NULL;
}

static void check_progress(void) {
  /* Under the pipelined run's threshold and above it. */
  const unsigned long lengths[] = {100000, 5000000};
  const uint8_t passphrase[] = {'p', 0, 'w'};
  size_t i, j;
  for (i = 0; i < sizeof lengths / sizeof lengths[0]; ++i) {
    const uint64_t length = lengths[i];
    /* Stops: at the first call (after the first chunk), at the last one
     * (the run is done but for the callback's word), never. */
    const uint64_t stops[] = {0, length, UINT64_MAX};
    FILE* plain = fopen("plain", "wb");
    for (j = 0; j < length; ++j) {
      putc((int)(j % 251), plain);
    }
    fclose(plain);
    for (j = 0; j < sizeof stops / sizeof stops[0]; ++j) {
      struct progress_log log = {0, 0, 0, 0};
      cryptcore_status status;
      char row[64];
      log.stop_at = stops[j];
      sprintf(row, "length %lu, stop at %" PRIu64, lengths[i], stops[j]);
      remove("encrypted");
      status = cryptcore_crypt_file("plain", "encrypted", passphrase, sizeof passphrase,
                                    CRYPTCORE_ENCRYPT, CRYPTCORE_CASCADE, log_progress, &log);
      check(!log.backwards && log.calls > 0, "progress counts up", row);
      if (stops[j] != UINT64_MAX) {
        check(status == CRYPTCORE_CANCELLED && !file_exists("encrypted"),
              "a stop cancels and takes the output back", row);
        check(stops[j] == 0 ? log.calls == 1 && log.last == 65536 : log.last == length,
              "a stop is the last call, at the first chunk or at the end", row);
      } else {
        check(status == CRYPTCORE_OK && log.last == length, "the last call tells the total", row);
        status = cryptcore_crypt_file("encrypted", "decrypted", passphrase, sizeof passphrase,
                                      CRYPTCORE_DECRYPT, CRYPTCORE_CASCADE, NULL, NULL);
        check(status == CRYPTCORE_OK, "the file decrypts without a callback", row);
      }
    }
  }
  remove("plain");
  remove("encrypted");
  remove("decrypted");
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILES_TSV\n", argv[0]);
    return 2;
  }
  check_vectors(argv[1]);
  check_arguments();
  check_progress();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
