// SPDX-License-Identifier: Apache-2.0
// The embedding API: every outcome of the stream and the file forms with the
// cause that gives it, what is left of the output, and the recorded files.
#include "cryptcore/file_cipher.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "io/pipeline.hpp"
#include "test_support.hpp"

namespace {

using cryptcore::CipherWorkspace;
using cryptcore::Direction;
using cryptcore::KeySchedule;
using cryptcore::Outcome;
using testsupport::Bytes;
using testsupport::pattern;
namespace fs = std::filesystem;

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// An anonymous in-memory file holding `bytes`, positioned at its start.
UniqueFd memory_file(const Bytes& bytes) {
  UniqueFd fd(::memfd_create("file_cipher_test", MFD_CLOEXEC));
  EXPECT_GE(fd.get(), 0);
  EXPECT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
  return fd;
}

// Everything in the file behind `fd`, from its start.
Bytes contents(int fd) {
  Bytes bytes;
  std::uint8_t block[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd, block, sizeof block, offset);
    EXPECT_GE(got, 0);
    if (got <= 0) {
      return bytes;
    }
    bytes.insert(bytes.end(), block, block + got);
    offset += got;
  }
}

Bytes read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// What the cipher stream itself makes of `input`: the reference for the API.
Bytes reference(std::string_view passphrase, Direction direction, KeySchedule schedule,
                const Bytes& input) {
  const auto run =
      testsupport::run_stream(passphrase, direction == Direction::Decrypt, schedule, input);
  EXPECT_EQ(run.failure, cryptcore::StreamFailure::None);
  return run.output;
}

const Bytes kPlain = pattern(1000);

// kPlain encrypted with the passphrase "right".
const Bytes& single_cipher() {
  static const Bytes bytes = reference("right", Direction::Encrypt, KeySchedule::Single, kPlain);
  return bytes;
}
const Bytes& cascade_cipher() {
  static const Bytes bytes = reference("right", Direction::Encrypt, KeySchedule::Cascade, kPlain);
  return bytes;
}

// The workspace in static storage, as the programs keep theirs.
CipherWorkspace static_workspace;

TEST(FileCipherTest, StreamOutcomesAndTheirCauses) {
  const fs::path folder = fs::temp_directory_path();
  // The bytes are shared, not copied, by every copy of the maker.
  const auto memory = [](const Bytes& bytes) {
    return [shared = std::make_shared<const Bytes>(bytes)] { return memory_file(*shared); };
  };
  const auto device = [](const char* path, int flags) {
    return [path, flags] { return UniqueFd(::open(path, flags | O_CLOEXEC)); };
  };
  // A memory file reopened read-only through /proc, so every write fails.
  const auto read_only = [] {
    const UniqueFd writable = memory_file({});
    const std::string path = "/proc/self/fd/" + std::to_string(writable.get());
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  };
  // A pipe holding one chunk, whose writer stays until the test ends, so
  // that a run waits for more input after it.
  std::vector<UniqueFd> stalled_writers;
  const auto stalled = [&stalled_writers] {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    stalled_writers.emplace_back(ends[1]);
    const Bytes chunk = pattern(cryptcore::kChunkSize);
    EXPECT_EQ(::write(ends[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    return UniqueFd(ends[0]);
  };
  const Bytes big = pattern(3 * cryptcore::kChunkSize + 5);
  // Long enough to go through the ring on two threads, and round it.
  const Bytes huge = pattern(80 * cryptcore::kChunkSize + 1000);
  static_assert(80 * cryptcore::kChunkSize > cryptcore::kPipelineMinInput);
  const Bytes huge_cascade = reference("right", Direction::Encrypt, KeySchedule::Cascade, huge);
  struct Case {
    const char* cause;
    Direction direction;
    KeySchedule schedule;
    const char* passphrase;
    std::function<UniqueFd()> input;
    std::function<UniqueFd()> output;
    Outcome expected;
    Bytes expected_output = {};  // checked when the run succeeds
  };
  const Case cases[] = {
      {"encrypting several chunks", Direction::Encrypt, KeySchedule::Single, "right", memory(big),
       memory({}), Outcome::Ok, reference("right", Direction::Encrypt, KeySchedule::Single, big)},
      {"decrypting", Direction::Decrypt, KeySchedule::Single, "right", memory(single_cipher()),
       memory({}), Outcome::Ok, kPlain},
      {"decrypting the cascade", Direction::Decrypt, KeySchedule::Cascade, "right",
       memory(cascade_cipher()), memory({}), Outcome::Ok, kPlain},
      {"an empty input", Direction::Encrypt, KeySchedule::Cascade, "right", memory({}), memory({}),
       Outcome::Ok},
      {"an input that is a directory", Direction::Encrypt, KeySchedule::Single, "right",
       device(folder.c_str(), O_RDONLY | O_DIRECTORY), memory({}), Outcome::ReadFailed},
      {"an input open for writing only", Direction::Encrypt, KeySchedule::Single, "right",
       device("/dev/null", O_WRONLY), memory({}), Outcome::ReadFailed},
      {"a full device as output", Direction::Encrypt, KeySchedule::Single, "right", memory(kPlain),
       device("/dev/full", O_WRONLY), Outcome::WriteFailed},
      {"an output open for reading only", Direction::Encrypt, KeySchedule::Cascade, "right",
       memory(big), read_only, Outcome::WriteFailed},
      {"a wrong passphrase", Direction::Decrypt, KeySchedule::Single, "wrong",
       memory(single_cipher()), memory({}), Outcome::CipherFailed},
      {"a ciphertext one byte short", Direction::Decrypt, KeySchedule::Single, "right",
       memory(Bytes(single_cipher().begin(), single_cipher().end() - 1)), memory({}),
       Outcome::CipherFailed},
      {"the single key on the cascade's file", Direction::Decrypt, KeySchedule::Single, "right",
       memory(cascade_cipher()), memory({}), Outcome::CipherFailed},
      {"a last chunk too long to pad once", Direction::Encrypt, KeySchedule::Single, "right",
       memory(pattern(65520)), memory({}), Outcome::LengthUnsupported},
      {"a last chunk too long to pad twice", Direction::Encrypt, KeySchedule::Cascade, "right",
       memory(pattern(cryptcore::kChunkSize + 65504)), memory({}), Outcome::LengthUnsupported},
      {"encrypting on two threads", Direction::Encrypt, KeySchedule::Single, "right", memory(huge),
       memory({}), Outcome::Ok, reference("right", Direction::Encrypt, KeySchedule::Single, huge)},
      {"encrypting the cascade on two threads", Direction::Encrypt, KeySchedule::Cascade, "right",
       memory(huge), memory({}), Outcome::Ok, huge_cascade},
      {"decrypting the cascade on two threads", Direction::Decrypt, KeySchedule::Cascade, "right",
       memory(huge_cascade), memory({}), Outcome::Ok, huge},
      {"a wrong passphrase on two threads", Direction::Decrypt, KeySchedule::Cascade, "wrong",
       memory(huge_cascade), memory({}), Outcome::CipherFailed},
      {"a full device as output on two threads", Direction::Encrypt, KeySchedule::Single, "right",
       memory(huge), device("/dev/full", O_WRONLY), Outcome::WriteFailed},
      {"an output open for reading only on two threads", Direction::Encrypt, KeySchedule::Cascade,
       "right", memory(huge), read_only, Outcome::WriteFailed},
      {"a full device as output while the input stalls", Direction::Encrypt, KeySchedule::Single,
       "right", stalled, device("/dev/full", O_WRONLY), Outcome::WriteFailed},
      {"a last chunk too long to pad on two threads", Direction::Encrypt, KeySchedule::Cascade,
       "right", memory(pattern(80 * cryptcore::kChunkSize + 65504)), memory({}),
       Outcome::LengthUnsupported},
  };
  for (const Case& c : cases) {
    for (const bool own_workspace : {true, false}) {
      const UniqueFd input = c.input();
      const UniqueFd output = c.output();
      ASSERT_GE(input.get(), 0) << c.cause;
      ASSERT_GE(output.get(), 0) << c.cause;
      const Outcome outcome =
          own_workspace ? cryptcore::crypt_stream(c.passphrase, c.direction, c.schedule,
                                                  input.get(), output.get())
                        : cryptcore::crypt_stream(static_workspace, c.passphrase, c.direction,
                                                  c.schedule, input.get(), output.get());
      const std::string label =
          std::string(c.cause) + (own_workspace ? ", own workspace" : ", static workspace");
      EXPECT_EQ(outcome, c.expected) << label;
      // The descriptors are the caller's: both are still open.
      EXPECT_NE(::fcntl(input.get(), F_GETFD), -1) << label;
      EXPECT_NE(::fcntl(output.get(), F_GETFD), -1) << label;
      if (c.expected == Outcome::Ok) {
        EXPECT_EQ(contents(output.get()), c.expected_output) << label;
      }
    }
  }
}

// A pipe hands the data over in small pieces; the stream must still cut the
// same whole chunks as from a file, or the ciphertext would differ. A
// non-blocking pipe, on either side, is waited for rather than failed.
TEST(FileCipherTest, StreamThroughPipesMatchesTheFile) {
  const Bytes plain = pattern(2 * cryptcore::kChunkSize + 777);
  for (const bool non_blocking : {false, true}) {
    int in_ends[2];
    int out_ends[2];
    const int flags = O_CLOEXEC | (non_blocking ? O_NONBLOCK : 0);
    ASSERT_EQ(::pipe2(in_ends, flags), 0);
    ASSERT_EQ(::pipe2(out_ends, flags), 0);
    UniqueFd read_end(in_ends[0]);
    // The writer pauses between its pieces, so a non-blocking read finds the
    // pipe empty; the reader drains the output only after a while, so a
    // non-blocking write finds it full.
    std::thread writer([to = UniqueFd(in_ends[1]), &plain] {
      ::fcntl(to.get(), F_SETFL, 0);
      for (std::size_t offset = 0; offset < plain.size(); offset += 1000) {
        const std::size_t piece = std::min<std::size_t>(1000, plain.size() - offset);
        ASSERT_EQ(::write(to.get(), plain.data() + offset, piece), static_cast<ssize_t>(piece));
        if (offset % 50000 == 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
    });
    Bytes output;
    std::thread reader([from = UniqueFd(out_ends[0]), &output] {
      ::fcntl(from.get(), F_SETFL, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::uint8_t block[4096];
      for (ssize_t got; (got = ::read(from.get(), block, sizeof block)) > 0;) {
        output.insert(output.end(), block, block + got);
      }
    });
    Outcome outcome = Outcome::InvalidArgument;
    {
      // Closed at the end of the run, so that the reader sees the end.
      const UniqueFd write_end(out_ends[1]);
      outcome = cryptcore::crypt_stream(static_workspace, "pipe", Direction::Encrypt,
                                        KeySchedule::Cascade, read_end.get(), write_end.get());
    }
    // Whatever the run left unread, so that the writer can finish.
    ::fcntl(read_end.get(), F_SETFL, 0);
    for (std::uint8_t block[4096]; ::read(read_end.get(), block, sizeof block) > 0;) {
    }
    writer.join();
    reader.join();
    ASSERT_EQ(outcome, Outcome::Ok) << "non-blocking: " << non_blocking;
    EXPECT_EQ(output, reference("pipe", Direction::Encrypt, KeySchedule::Cascade, plain))
        << "non-blocking: " << non_blocking;
  }
}

// The recorded files, through the stream form and back.
TEST(FileCipherTest, StreamMatchesRecordedFiles) {
  for (const auto& row : testsupport::read_tsv("files.tsv")) {
    ASSERT_EQ(row.size(), 5U);
    const Bytes passphrase_bytes = testsupport::from_hex(row[1]);
    const std::string passphrase(passphrase_bytes.begin(), passphrase_bytes.end());
    const Bytes plain = pattern(std::stoul(row[2]));
    const KeySchedule schedule =
        row[0] == "cascadecrypt" ? KeySchedule::Cascade : KeySchedule::Single;
    const std::string label = row[0] + " " + row[2];

    const UniqueFd input = memory_file(plain);
    const UniqueFd encrypted = memory_file({});
    const Outcome outcome = cryptcore::crypt_stream(
        static_workspace, passphrase, Direction::Encrypt, schedule, input.get(), encrypted.get());
    if (row[3] == "refused") {
      EXPECT_EQ(outcome, Outcome::LengthUnsupported) << label;
      continue;
    }
    ASSERT_EQ(outcome, Outcome::Ok) << label;
    const Bytes ciphertext = contents(encrypted.get());
    EXPECT_EQ(ciphertext.size(), std::stoul(row[3])) << label;
    EXPECT_EQ(testsupport::sha256_hex(ciphertext), row[4]) << label;

    ASSERT_EQ(::lseek(encrypted.get(), 0, SEEK_SET), 0);
    const UniqueFd decrypted = memory_file({});
    EXPECT_EQ(cryptcore::crypt_stream(static_workspace, passphrase, Direction::Decrypt, schedule,
                                      encrypted.get(), decrypted.get()),
              Outcome::Ok)
        << label;
    EXPECT_EQ(contents(decrypted.get()), plain) << label;
  }
}

// Every recorded passphrase, zero bytes and all, through the stream form.
TEST(FileCipherTest, StreamUsesEveryByteOfThePassphrase) {
  const Bytes plain = pattern(1000);
  for (const auto& row : testsupport::read_tsv("keys.tsv")) {
    const Bytes passphrase_bytes = testsupport::from_hex(row[0]);
    const std::string passphrase(passphrase_bytes.begin(), passphrase_bytes.end());
    for (const KeySchedule schedule : {KeySchedule::Single, KeySchedule::Cascade}) {
      const UniqueFd input = memory_file(plain);
      const UniqueFd encrypted = memory_file({});
      EXPECT_EQ(cryptcore::crypt_stream(static_workspace, passphrase, Direction::Encrypt, schedule,
                                        input.get(), encrypted.get()),
                Outcome::Ok);
      EXPECT_EQ(contents(encrypted.get()),
                testsupport::encrypt_with_recorded_keys(row, schedule, plain))
          << "passphrase " << row[0] << ", " << cryptcore::pass_count(schedule) << " pass(es)";
    }
  }
}

// A folder of its own for each test, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    std::string name = (fs::temp_directory_path() / "file_cipher_test.XXXXXX").string();
    EXPECT_NE(::mkdtemp(name.data()), nullptr);
    path_ = name;
  }
  ~TempFolder() { fs::remove_all(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  fs::path operator/(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

// What a file run must leave at the output path.
enum class Left { Nothing, Bytes, InputUntouched, Folder, Device };

TEST(FileCipherTest, FileOutcomesAndTheirCauses) {
  struct Case {
    const char* cause;
    Direction direction;
    KeySchedule schedule;
    const char* passphrase;
    const char* input;  // a name in the folder, or an absolute path
    const char* output;
    Outcome expected;
    Left left;
    Bytes expected_output = {};  // when `left` is Left::Bytes
  };
  const Bytes cascade_of_plain =
      reference("secret", Direction::Encrypt, KeySchedule::Cascade, kPlain);
  const Case cases[] = {
      {"encrypting a file", Direction::Encrypt, KeySchedule::Cascade, "secret", "plain", "out",
       Outcome::Ok, Left::Bytes, cascade_of_plain},
      {"encrypting over a longer file", Direction::Encrypt, KeySchedule::Cascade, "secret", "plain",
       "old", Outcome::Ok, Left::Bytes, cascade_of_plain},
      {"decrypting a file", Direction::Decrypt, KeySchedule::Single, "right", "cipher", "out",
       Outcome::Ok, Left::Bytes, kPlain},
      {"an empty file", Direction::Encrypt, KeySchedule::Single, "secret", "empty", "out",
       Outcome::Ok, Left::Bytes},
      {"devices on both sides", Direction::Encrypt, KeySchedule::Single, "secret", "/dev/null",
       "/dev/null", Outcome::Ok, Left::Device},
      {"a missing input", Direction::Encrypt, KeySchedule::Single, "secret", "missing", "out",
       Outcome::InputOpenFailed, Left::Nothing},
      {"a folder as input", Direction::Encrypt, KeySchedule::Single, "secret", "folder", "out",
       Outcome::InputOpenFailed, Left::Nothing},
      {"an output in a missing folder", Direction::Encrypt, KeySchedule::Single, "secret", "plain",
       "missing/out", Outcome::OutputOpenFailed, Left::Nothing},
      {"a folder as output", Direction::Encrypt, KeySchedule::Single, "secret", "plain", "folder",
       Outcome::OutputOpenFailed, Left::Folder},
      {"the input as output", Direction::Encrypt, KeySchedule::Single, "secret", "plain", "plain",
       Outcome::OutputOpenFailed, Left::InputUntouched},
      {"a symbolic link to the input as output", Direction::Encrypt, KeySchedule::Single, "secret",
       "plain", "symlink", Outcome::OutputOpenFailed, Left::InputUntouched},
      {"a hard link to the input as output", Direction::Encrypt, KeySchedule::Single, "secret",
       "plain", "hardlink", Outcome::OutputOpenFailed, Left::InputUntouched},
      {"an input that fails to read", Direction::Encrypt, KeySchedule::Single, "secret",
       "/proc/self/mem", "out", Outcome::ReadFailed, Left::Nothing},
      {"a full device as output", Direction::Encrypt, KeySchedule::Single, "secret", "plain",
       "/dev/full", Outcome::WriteFailed, Left::Device},
      {"a wrong passphrase", Direction::Decrypt, KeySchedule::Single, "wrong", "cipher", "out",
       Outcome::CipherFailed, Left::Nothing},
      {"a wrong passphrase over an old file", Direction::Decrypt, KeySchedule::Single, "wrong",
       "cipher", "old", Outcome::CipherFailed, Left::Nothing},
      {"a last chunk too long to pad", Direction::Encrypt, KeySchedule::Single, "secret",
       "too_long", "old", Outcome::LengthUnsupported, Left::Nothing},
  };
  for (const Case& c : cases) {
    for (const bool own_workspace : {true, false}) {
      const TempFolder folder;
      write_file(folder / "plain", kPlain);
      write_file(folder / "cipher", single_cipher());
      write_file(folder / "empty", {});
      write_file(folder / "old", pattern(5000));
      write_file(folder / "too_long", pattern(cryptcore::kChunkSize + 65535));
      fs::create_directory(folder / "folder");
      fs::create_symlink(folder / "plain", folder / "symlink");
      fs::create_hard_link(folder / "plain", folder / "hardlink");
      const auto path = [&](const char* name) {
        return name[0] == '/' ? fs::path(name) : folder / name;
      };
      const fs::path input = path(c.input);
      const fs::path output = path(c.output);

      const Outcome outcome =
          own_workspace
              ? cryptcore::crypt_file(c.passphrase, c.direction, c.schedule, input.c_str(),
                                      output.c_str())
              : cryptcore::crypt_file(static_workspace,
                                      std::make_unique<cryptcore::SecretBytes>(c.passphrase),
                                      c.direction, c.schedule, input.c_str(), output.c_str());
      const std::string label =
          std::string(c.cause) + (own_workspace ? ", own workspace" : ", static workspace");
      EXPECT_EQ(outcome, c.expected) << label;
      if (!own_workspace) {
        // A discard after the run, as a signal that comes as the program
        // exits makes, leaves a complete output as it is.
        EXPECT_EQ(
            cryptcore::discard_unfinished_output(static_workspace),
            outcome == Outcome::Ok ? cryptcore::RunOutput::Complete : cryptcore::RunOutput::None)
            << label;
      }
      switch (c.left) {
        case Left::Nothing:
          EXPECT_FALSE(fs::exists(fs::symlink_status(output))) << label;
          break;
        case Left::Bytes:
          EXPECT_EQ(read_file(output), c.expected_output) << label;
          break;
        case Left::InputUntouched:
          EXPECT_EQ(read_file(input), kPlain) << label;
          break;
        case Left::Folder:
          EXPECT_TRUE(fs::is_directory(output)) << label;
          break;
        case Left::Device:
          EXPECT_TRUE(fs::is_character_file(output)) << label;
          break;
      }
    }
  }
}

// A call the library cannot serve opens nothing: an existing output keeps
// its bytes.
TEST(FileCipherTest, InvalidCallsOpenNothing) {
  const auto bad_schedule = static_cast<KeySchedule>(3);
  const auto bad_direction = static_cast<Direction>(7);
  struct Case {
    const char* cause;
    bool passphrase;
    Direction direction;
    KeySchedule schedule;
    bool output_path;
  };
  const Case cases[] = {
      {"no passphrase", false, Direction::Encrypt, KeySchedule::Single, true},
      {"a schedule out of range", true, Direction::Decrypt, bad_schedule, true},
      {"no pass at all", true, Direction::Decrypt, static_cast<KeySchedule>(0), true},
      {"a direction out of range", true, bad_direction, KeySchedule::Cascade, true},
      {"no output path", true, Direction::Encrypt, KeySchedule::Single, false},
  };
  for (const Case& c : cases) {
    const TempFolder folder;
    write_file(folder / "plain", single_cipher());
    write_file(folder / "old", kPlain);
    const fs::path output = folder / "old";
    EXPECT_EQ(
        cryptcore::crypt_file(
            static_workspace,
            c.passphrase ? std::make_unique<cryptcore::SecretBytes>("right") : nullptr, c.direction,
            c.schedule, (folder / "plain").c_str(), c.output_path ? output.c_str() : nullptr),
        Outcome::InvalidArgument)
        << c.cause;
    EXPECT_EQ(read_file(output), kPlain) << c.cause;
    if (c.passphrase) {
      const UniqueFd input = memory_file(single_cipher());
      const UniqueFd out = memory_file({});
      EXPECT_EQ(cryptcore::crypt_stream(static_workspace, "right", c.direction, c.schedule,
                                        input.get(), out.get()),
                c.output_path ? Outcome::InvalidArgument : Outcome::Ok)
          << c.cause;
    }
  }
}

// One workspace serves run after run: a failure leaves nothing behind that
// changes the next run.
TEST(FileCipherTest, WorkspaceServesRunAfterRun) {
  const Bytes too_long = pattern(65530);
  struct Run {
    const char* passphrase;
    Direction direction;
    const Bytes& input;
    Outcome expected;
  };
  const Run runs[] = {
      {"wrong", Direction::Decrypt, single_cipher(), Outcome::CipherFailed},
      {"right", Direction::Decrypt, single_cipher(), Outcome::Ok},
      {"right", Direction::Encrypt, too_long, Outcome::LengthUnsupported},
      {"right", Direction::Encrypt, kPlain, Outcome::Ok},
      {"right", Direction::Decrypt, single_cipher(), Outcome::Ok},
  };
  auto workspace = std::make_unique<CipherWorkspace>();
  for (const Run& run : runs) {
    const UniqueFd input = memory_file(run.input);
    const UniqueFd output = memory_file({});
    ASSERT_EQ(cryptcore::crypt_stream(*workspace, run.passphrase, run.direction,
                                      KeySchedule::Single, input.get(), output.get()),
              run.expected);
    if (run.expected == Outcome::Ok) {
      EXPECT_EQ(contents(output.get()),
                run.direction == Direction::Decrypt ? kPlain : single_cipher());
    }
  }
}

// Runs in different workspaces go on at once on different threads, each
// with a second thread of its own (one for each way of sharing the work):
// nothing is shared between them.
TEST(FileCipherTest, WorkspacesServeRunsAtOnce) {
  const Bytes huge = pattern(80 * cryptcore::kChunkSize + 1000);
  const Bytes single = reference("together", Direction::Encrypt, KeySchedule::Single, huge);
  const Bytes cascade = reference("together", Direction::Encrypt, KeySchedule::Cascade, huge);
  struct Run {
    Direction direction;
    KeySchedule schedule;
    const Bytes& input;
    const Bytes& expected;
  };
  const Run runs[] = {{Direction::Encrypt, KeySchedule::Single, huge, single},
                      {Direction::Encrypt, KeySchedule::Cascade, huge, cascade},
                      {Direction::Decrypt, KeySchedule::Cascade, cascade, huge}};
  std::vector<UniqueFd> outputs;
  for (std::size_t i = 0; i < std::size(runs); ++i) {
    outputs.push_back(memory_file({}));
  }
  std::vector<std::thread> threads;
  Outcome outcomes[std::size(runs)] = {};
  for (std::size_t i = 0; i < std::size(runs); ++i) {
    threads.emplace_back([&, i, input = memory_file(runs[i].input)] {
      auto workspace = std::make_unique<CipherWorkspace>();
      outcomes[i] = cryptcore::crypt_stream(*workspace, "together", runs[i].direction,
                                            runs[i].schedule, input.get(), outputs[i].get());
    });
  }
  for (std::size_t i = 0; i < std::size(runs); ++i) {
    threads[i].join();
    EXPECT_EQ(outcomes[i], Outcome::Ok) << "run " << i;
    EXPECT_EQ(contents(outputs[i].get()), runs[i].expected) << "run " << i;
  }
}

}  // namespace
