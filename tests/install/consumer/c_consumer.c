// SPDX-License-Identifier: Apache-2.0
/* Encrypts with the installed shared library from C99, built with nothing but
 * `pkg-config --cflags --libs cryptcore`:
 *   c_consumer <passphrase> <input> <output>
 * encrypts the file <input> into <output> with the single key schedule, then
 * decrypts <output> in memory, in pieces of 1,000 bytes, and checks that it
 * gives <input>. */
#include <cryptcore/cryptcore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Reads a whole file, with a chunk of room to spare; NULL if it cannot. */
static uint8_t* contents(const char* path, size_t* length) {
  FILE* file = fopen(path, "rb");
  uint8_t* bytes = NULL;
  long size;
  if (file != NULL && fseek(file, 0, SEEK_END) == 0 && (size = ftell(file)) >= 0 &&
      fseek(file, 0, SEEK_SET) == 0 && (bytes = malloc((size_t)size + 65536)) != NULL) {
    *length = fread(bytes, 1, (size_t)size, file);
  }
  if (file != NULL) {
    fclose(file);
  }
  return bytes;
}

int main(int argc, char** argv) {
  size_t passphrase_length, plain_length = 0, encrypted_length = 0, made = 0, written = 0, at;
  uint8_t *plain, *encrypted, *decrypted;
  void* memory;
  cryptcore_stream* stream;
  cryptcore_status status;
  if (argc != 4) {
    fprintf(stderr, "usage: %s <passphrase> <input> <output>\n", argv[0]);
    return 2;
  }
  passphrase_length = strlen(argv[1]);
  status = cryptcore_crypt_file(argv[2], argv[3], (const uint8_t*)argv[1], passphrase_length,
                                CRYPTCORE_ENCRYPT, CRYPTCORE_SINGLE, NULL, NULL);
  plain = contents(argv[2], &plain_length);
  encrypted = contents(argv[3], &encrypted_length);
  decrypted = malloc(encrypted_length + 65536);
  memory = malloc(cryptcore_stream_size() + 63);
  if (status != CRYPTCORE_OK || plain == NULL || encrypted == NULL || decrypted == NULL ||
      memory == NULL) {
    fprintf(stderr, "file run: %s\n", cryptcore_status_string(status));
    return 1;
  }
  status = cryptcore_stream_init(&stream, (char*)memory + (64 - (uintptr_t)memory % 64) % 64,
                                 cryptcore_stream_size(), (const uint8_t*)argv[1],
                                 passphrase_length, CRYPTCORE_DECRYPT, CRYPTCORE_SINGLE);
  for (at = 0; status == CRYPTCORE_OK && at < encrypted_length; at += 1000, made += written) {
    size_t piece = encrypted_length - at < 1000 ? encrypted_length - at : 1000;
    status = cryptcore_stream_update(stream, encrypted + at, piece, decrypted + made,
                                     cryptcore_update_capacity(piece), &written);
  }
  if (status == CRYPTCORE_OK) {
    status = cryptcore_stream_finish(stream, decrypted + made, 65536, &written);
    made += written;
  }
  cryptcore_stream_wipe(stream);
  if (status != CRYPTCORE_OK || made != plain_length || memcmp(decrypted, plain, made) != 0) {
    fprintf(stderr, "the file does not decrypt in memory: %s\n", cryptcore_status_string(status));
    return 1;
  }
  printf("cryptcore %s\n", cryptcore_version());
  free(plain);
  free(encrypted);
  free(decrypted);
  free(memory);
  return 0;
}
