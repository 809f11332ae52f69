// SPDX-License-Identifier: Apache-2.0
// The output of a run taken back where the programs cannot be made to show
// it: after its descriptor was closed, as after a close that failed (which
// needs a preloaded fault library on Linux, and cannot be had under Wine at
// all); a standard output that appends, as a Windows program may be handed
// one (Wine cannot shorten those it makes of a Linux descriptor), and on
// POSIX one that another writer appends to meanwhile; and while another
// thread may be writing it.
#include "files/files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#endif
#if defined(CRYPTCORE_PROVIDER_OPENSSL)
#include <openssl/crypto.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "cryptcore/file_cipher.hpp"
#include "format/cipher_stream.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;

#if defined(CRYPTCORE_PROVIDER_OPENSSL)
// The runs that the last test takes the output of are never joined (a run
// whose output was taken back waits for its process to end), so OpenSSL's
// tables must outlive them: no cleanup at exit, as in the programs. Set
// before the first use of OpenSSL in the process.
const bool openssl_outlives_the_runs = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
#endif

// Makes the process's standard output a descriptor that appends to `path`,
// for as long as it lives.
class AppendingStandardOutput {
 public:
  explicit AppendingStandardOutput(const std::string& path) : saved_(::dup(STDOUT_FILENO)) {
#if defined(_WIN32)
    const HANDLE file =
        CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const int appending = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
#else
    const int appending = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
#endif
    // (The C runtime's dup2 on Windows gives 0, not the descriptor.) Should
    // it fail, the standard output stays where this message can be seen.
    EXPECT_NE(::dup2(appending, STDOUT_FILENO), -1);
    ::close(appending);
  }
  ~AppendingStandardOutput() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  AppendingStandardOutput(const AppendingStandardOutput&) = delete;
  AppendingStandardOutput& operator=(const AppendingStandardOutput&) = delete;

 private:
  int saved_;
};

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(OutputFileTest, FailedOutputIsTakenBack) {
  struct Case {
    const char* name;
    bool appending_standard_output;
    bool closed_first;
    // Another writer appends after the run's bytes, before the discard.
    bool another_writer;
  };
  const Case cases[] = {
    {"a file, still open", false, false, false},
    {"a file committed first", false, true, false},
    {"an appending standard output, cut back to its old end", true, false, false},
#if !defined(_WIN32)
    {"an appending standard output another writer appended to, kept", true, false, true},
#endif
  };
  const fs::path folder = testsupport::own_temp_folder("output_file_test");
  const std::string input_path = (folder / "input").string();
  const std::string log_path = (folder / "log").string();
  const fs::path output_path = folder / "output";
  std::ofstream(input_path) << "input";
  for (const Case& c : cases) {
    std::ofstream(log_path, std::ios::binary) << "HEADER";
    cryptcore::InputFile input;
    ASSERT_TRUE(input.open(input_path.c_str()));
    bool discarded = false;
    {
      std::optional<AppendingStandardOutput> appending;
      if (c.appending_standard_output) {
        appending.emplace(log_path);
      }
      cryptcore::OutputFile output;
      const bool opened =
          output.open(c.appending_standard_output ? "/dev/stdout" : output_path.string().c_str(),
                      input) &&
          ::write(output.fd(), "partial", 7) == 7 &&
          (!c.closed_first || output.commit() == cryptcore::Outcome::Ok);
      if (c.another_writer) {
        std::ofstream(log_path, std::ios::binary | std::ios::app) << "OTHER";
      }
      discarded = opened && output.discard();
    }
    EXPECT_EQ(discarded, !c.another_writer) << c.name;
    if (c.appending_standard_output) {
      EXPECT_EQ(read_file(log_path), c.another_writer ? "HEADERpartialOTHER" : "HEADER") << c.name;
    } else {
      EXPECT_FALSE(fs::exists(output_path)) << c.name;
    }
    // Nothing of the run's own is left, under the output's name or another
    // (on Windows a new output's temporary one): only the input and the log.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2) << c.name;
  }
  fs::remove_all(folder);
}

// The output is taken back while another thread may be writing it: on
// Windows a console control handler runs on a thread of its own, and on
// POSIX a signal handler runs on the run's thread while a long run's second
// thread writes (an input of unknown length, here a FIFO, always takes one).
// Once discard_unfinished_output() has returned, nothing more may reach the
// file, under any of its names, whether the discard came after the first
// chunk or before the run had started on its data. (A program ends right
// after; here the run is fed more input, so that a write would follow at once
// if the run could still make one.)
TEST(OutputFileTest, NothingIsWrittenOnceTakenBackFromAnotherThread) {
  struct Case {
    const char* name;
    bool after_first_chunk;
  };
  const Case cases[] = {
      {"after_first_chunk", true},
      {"before_any_chunk", false},
  };
  for (const Case& c : cases) {
#if defined(_WIN32)
    if (!c.after_first_chunk) {
      // The file goes only as the process ends there, so the moment the
      // discard takes it cannot be seen from here.
      continue;
    }
#endif
    // What an earlier run left: its output goes only as its process ends.
    const fs::path folder = testsupport::own_temp_folder(c.name);
    const std::string output = (folder / "out").string();
    const fs::path other_name = folder / "other_name";
    std::ofstream(output) << "old";
    fs::create_hard_link(output, other_name);
#if defined(_WIN32)
    const std::string input =
        "\\\\.\\pipe\\taken_back_test_" + std::to_string(GetCurrentProcessId());
    const HANDLE feed = CreateNamedPipeA(input.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1,
                                         1 << 20, 0, 0, nullptr);
    ASSERT_NE(feed, INVALID_HANDLE_VALUE);
    const auto feed_chunk = [feed](const std::string& chunk) {
      DWORD written = 0;
      return WriteFile(feed, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) !=
             0;
    };
#else
    const std::string input = (folder / "input").string();
    ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
#endif
    // The run's thread is stopped for good: what it uses is left to the
    // process's end.
    auto* const workspace = new cryptcore::CipherWorkspace;
    std::thread([=] {
      cryptcore::crypt_file(*workspace, std::make_unique<cryptcore::SecretBytes>("back"),
                            cryptcore::Direction::Encrypt, cryptcore::KeySchedule::Single,
                            input.c_str(), output.c_str());
    }).detach();
#if defined(_WIN32)
    ASSERT_TRUE(ConnectNamedPipe(feed, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
#else
    const int feed = ::open(input.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    // Room for every chunk, as the named pipe has: once stopped, the run
    // reads no more.
    ::fcntl(feed, F_SETPIPE_SZ, 1 << 20);
    const auto feed_chunk = [feed](const std::string& chunk) {
      return ::write(feed, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    };
#endif
    const std::string chunk(cryptcore::kChunkSize, 'x');
    if (c.after_first_chunk) {
      ASSERT_TRUE(feed_chunk(chunk));
      for (int wait = 0; wait < 600 && fs::file_size(other_name) < chunk.size(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      ASSERT_EQ(fs::file_size(other_name), chunk.size()) << "the run wrote its first chunk";
      cryptcore::discard_unfinished_output(*workspace);
    } else {
      // As soon as the run has its output (the discard then removes it), and
      // before it has any data.
      for (int wait = 0; wait < 60000 && fs::exists(output); ++wait) {
        cryptcore::discard_unfinished_output(*workspace);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      ASSERT_FALSE(fs::exists(output)) << "the run's output was taken back";
    }
    EXPECT_EQ(fs::file_size(other_name), 0U) << c.name;
    for (int more = 0; more < 3; ++more) {
      EXPECT_TRUE(feed_chunk(chunk)) << c.name;
    }
    // Then the end of the input, which lets a run that still reads end its
    // second thread (on Windows the run is stopped for good).
#if defined(_WIN32)
    CloseHandle(feed);
#else
    ::close(feed);
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(fs::file_size(other_name), 0U) << c.name;
    // What the stopped run still holds open may not go (on Windows).
    std::error_code left_in_use;
    fs::remove_all(folder, left_in_use);
  }
}

}  // namespace
