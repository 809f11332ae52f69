// SPDX-License-Identifier: Apache-2.0
// Once its keys are set, a run in a caller's workspace allocates nothing: a
// long input must cost exactly the allocations of a short one (and, when it
// decrypts on two threads, of each thread's copy of the keys). Every
// allocation of C++ and OpenSSL is counted (not the C library's own, such as
// the stack of a long run's second thread, which is one per run), so this
// test is a program of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "cryptcore/file_cipher.hpp"
#include "cryptcore/incremental_cipher.hpp"
#include "format/chunk_decryptor.hpp"
#include "format/incremental_state.hpp"
#include "io/pipeline.hpp"
#include "test_support.hpp"

namespace {

std::atomic<std::size_t> allocations{0};

void* counting_malloc(std::size_t size, const char*, int) {
  ++allocations;
  return std::malloc(size);
}
void* counting_realloc(void* block, std::size_t size, const char*, int) {
  ++allocations;
  return std::realloc(block, size);
}
void counting_free(void* block, const char*, int) {
  std::free(block);
}

// Set before main, ahead of OpenSSL's first allocation.
const bool openssl_counted =
    CRYPTO_set_mem_functions(counting_malloc, counting_realloc, counting_free) == 1;

}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) {
    return block;
  }
  throw std::bad_alloc();
}
// These replace the global operator delete, which frees what the operator
// new above took from malloc; g++ cannot see that pairing and warns.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
#pragma GCC diagnostic pop

namespace {

using cryptcore::Direction;
using cryptcore::KeySchedule;
using cryptcore::Outcome;
using testsupport::Bytes;

cryptcore::CipherWorkspace workspace;

int memory_file(const Bytes& bytes) {
  const int fd = ::memfd_create("allocation_test", MFD_CLOEXEC);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  return fd;
}

// The allocations of one stream run over `input`, and its outcome.
std::size_t stream_allocations(Direction direction, KeySchedule schedule, const Bytes& input) {
  const int input_fd = memory_file(input);
  const int output_fd = memory_file({});
  const std::size_t before = allocations;
  const Outcome outcome =
      cryptcore::crypt_stream(workspace, "steady", direction, schedule, input_fd, output_fd);
  const std::size_t counted = allocations - before;
  EXPECT_EQ(outcome, Outcome::Ok);
  ::close(input_fd);
  ::close(output_fd);
  return counted;
}

TEST(AllocationTest, OpenSslAllocationsAreCounted) {
  EXPECT_TRUE(openssl_counted);
}

// Lengths from one chunk to several MiB: the longer ones go through the
// ring on two threads, and must cost no more than one chunk on one, but for
// the two threads' own copies of the keys when they decrypt.
constexpr std::size_t kChunkCounts[] = {1, 40, 70, 140};
static_assert(70 * cryptcore::kChunkSize > cryptcore::kPipelineMinInput);

// The allocations of one thread's copy of the decrypting keys.
std::size_t key_copy_allocations(KeySchedule schedule) {
  static cryptcore::IncrementalState keyed;
  EXPECT_EQ(keyed.init("steady", Direction::Decrypt, schedule), Outcome::Ok);
  cryptcore::ChunkDecryptor copy;
  const std::size_t before = allocations;
  EXPECT_TRUE(copy.init(keyed.stream()));
  return allocations - before;
}

TEST(AllocationTest, StreamCostsTheSameForAnyLength) {
  for (const KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
    std::size_t encrypt_cost = 0;
    std::size_t decrypt_cost = 0;
    for (const std::size_t chunks : kChunkCounts) {
      const std::string label =
          std::string(schedule == KeySchedule::Single ? "single" : "cascade") + ", " +
          std::to_string(chunks) + " chunks";
      const Bytes plain = testsupport::pattern(chunks * cryptcore::kChunkSize + 5);
      // The ciphertext is made before counting; that also lets OpenSSL set
      // itself up, which it does once per process.
      const Bytes cipher = testsupport::run_stream("steady", false, schedule, plain).output;
      const std::size_t encrypting = stream_allocations(Direction::Encrypt, schedule, plain);
      const std::size_t decrypting = stream_allocations(Direction::Decrypt, schedule, cipher);
      if (chunks == kChunkCounts[0]) {
        EXPECT_GT(encrypting, 0U) << label << ": the keys are set in the run";
        encrypt_cost = encrypting;
        decrypt_cost = decrypting;
      }
      const std::size_t key_copies = chunks * cryptcore::kChunkSize > cryptcore::kPipelineMinInput
                                         ? 2 * key_copy_allocations(schedule)
                                         : 0;
      EXPECT_EQ(encrypting, encrypt_cost) << label;
      EXPECT_EQ(decrypting, decrypt_cost + key_copies) << label;
    }
  }
}

// The allocations of one file run that encrypts `chunks` whole chunks and a few bytes.
std::size_t file_allocations(std::size_t chunks) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  const std::string pid = std::to_string(::getpid());
  const std::filesystem::path input = folder / ("allocation_test_in." + pid);
  const std::filesystem::path output = folder / ("allocation_test_out." + pid);
  const Bytes plain = testsupport::pattern(chunks * cryptcore::kChunkSize + 5);
  const int fd = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_EQ(::write(fd, plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
  ::close(fd);
  auto passphrase = std::make_unique<cryptcore::SecretBytes>("steady");

  const std::size_t before = allocations;
  const Outcome outcome =
      cryptcore::crypt_file(workspace, std::move(passphrase), Direction::Encrypt,
                            KeySchedule::Cascade, input.c_str(), output.c_str());
  const std::size_t counted = allocations - before;
  EXPECT_EQ(outcome, Outcome::Ok) << chunks << " chunks";
  std::filesystem::remove(input);
  std::filesystem::remove(output);
  return counted;
}

TEST(AllocationTest, FileCostsTheSameForAnyLength) {
  // OpenSSL sets itself up on its first use, once per process: not a run's cost.
  file_allocations(0);
  const std::size_t one_chunk = file_allocations(1);
  for (const std::size_t chunks : kChunkCounts) {
    EXPECT_EQ(file_allocations(chunks), one_chunk) << chunks << " chunks";
  }
}

// In memory, nothing at all is allocated once the keys are set: not by
// update(), whatever its pieces, nor by finish().
TEST(AllocationTest, IncrementalCallsAllocateNothing) {
  static cryptcore::IncrementalCipher cipher;
  const Bytes plain = testsupport::pattern(70 * cryptcore::kChunkSize + 5);
  Bytes output(plain.size() + 2 * cryptcore::kChunkSize);
  for (const Direction direction : {Direction::Encrypt, Direction::Decrypt}) {
    for (const KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
      ASSERT_EQ(cipher.init("steady", 6, direction, schedule), Outcome::Ok);
      const std::size_t before = allocations;
      std::size_t made = 0;
      Outcome outcome = Outcome::Ok;
      // Pieces of 1 byte to 3 chunks, over and across chunk boundaries.
      for (std::size_t consumed = 0, piece = 1; consumed < plain.size() && outcome == Outcome::Ok;
           piece = piece * 7 % (3 * cryptcore::kChunkSize) + 1) {
        const std::size_t length = std::min(piece, plain.size() - consumed);
        std::size_t written = 0;
        outcome = cipher.update(plain.data() + consumed, length, output.data() + made,
                                cryptcore::IncrementalCipher::update_capacity(length), written);
        consumed += length;
        made += written;
      }
      std::size_t written = 0;
      const Outcome finished =
          cipher.finish(output.data() + made, cryptcore::kFinishCapacity, written);
      EXPECT_EQ(allocations - before, 0U);
      EXPECT_EQ(outcome, Outcome::Ok);
      // The plaintext is no ciphertext: its tail does not decrypt.
      EXPECT_EQ(finished, direction == Direction::Encrypt ? Outcome::Ok : Outcome::CipherFailed);
    }
  }
}

}  // namespace
