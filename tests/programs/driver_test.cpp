// SPDX-License-Identifier: Apache-2.0
// The driver when the crypto library cannot provide the algorithms: it must
// fail rather than copy the input through, and leave no output behind; how
// it keeps the keys out of dumps and out of other processes' reach; and how
// it blanks a Windows command line.
#include "driver.hpp"

#include <gtest/gtest.h>

#include "process.hpp"
#if defined(CRYPTCORE_PROVIDER_OPENSSL)
#include <openssl/evp.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/prctl.h>
#include <sys/resource.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>

#include "crypto/provider.hpp"
#include "exit_status.hpp"
#include "test_support.hpp"

namespace {

#if defined(CRYPTCORE_PROVIDER_OPENSSL)
// Asks every fetch for FIPS implementations, which the default provider
// does not offer, so SHA-1 and AES-256-CBC cannot be had for the duration.
class NoAlgorithms {
 public:
  NoAlgorithms() { EXPECT_EQ(EVP_set_default_properties(nullptr, "fips=yes"), 1); }
  ~NoAlgorithms() { EVP_set_default_properties(nullptr, ""); }
};
#endif

TEST(DriverTest, MissingAlgorithmsFailTheRunAndRemoveTheOutput) {
#if !defined(CRYPTCORE_PROVIDER_OPENSSL)
  GTEST_SKIP() << "only libcrypto can be made to withhold its algorithms from a running process";
#else
  const std::filesystem::path dir = testsupport::own_temp_folder("driver_test");
  const std::string input = (dir / "plain").string();
  const std::string output = (dir / "out").string();
  std::ofstream(input) << "plaintext that must not reach the output";

  for (cryptcore::KeySchedule schedule :
       {cryptcore::KeySchedule::Single, cryptcore::KeySchedule::Cascade}) {
    {
      NoAlgorithms no_algorithms;
      cryptcore::Provider provider;
      EXPECT_FALSE(provider.acquire());
      std::string mode = "esecret";
      std::string program = "crypt";
      char* argv[] = {program.data(), mode.data(), const_cast<char*>(input.c_str()),
                      const_cast<char*>(output.c_str()), nullptr};
      EXPECT_EQ(cryptdriver::run_program(4, argv, schedule), cryptdriver::ExitCipherFailed);
      EXPECT_FALSE(std::filesystem::exists(output));
    }
    cryptcore::Provider provider;
    EXPECT_TRUE(provider.acquire()) << "the algorithms come back with the default properties";
  }
  std::filesystem::remove_all(dir);
#endif
}

// Whatever the arguments, the process that will hold the keys can write no
// core or crash dump, and other processes of its user cannot attach to it,
// read its memory, run code in it or read its main thread's registers.
TEST(DriverTest, ProcessCannotDumpItsKeys) {
  std::string program = "crypt";
  char* argv[] = {program.data(), nullptr};
  EXPECT_EQ(cryptdriver::run_program(1, argv, cryptcore::KeySchedule::Single),
            cryptdriver::ExitUsage);
#if defined(_WIN32)
  EXPECT_NE(GetErrorMode() & SEM_NOGPFAULTERRORBOX, 0U);
  // Opened anew by its own id, this process is as another of the same user
  // sees it. (The right to change its ACL, which an entry for OWNER RIGHTS
  // takes from the owner on Windows, is left out: Wine ignores that entry.)
  const auto opens = [](DWORD access) {
    const HANDLE process = OpenProcess(access, FALSE, GetCurrentProcessId());
    if (process != nullptr) {
      CloseHandle(process);
    }
    return process != nullptr;
  };
  EXPECT_FALSE(opens(PROCESS_VM_READ));
  EXPECT_FALSE(opens(PROCESS_CREATE_THREAD));
  EXPECT_TRUE(opens(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION)) << "others may wait for it";
  const HANDLE thread = OpenThread(THREAD_GET_CONTEXT, FALSE, GetCurrentThreadId());
  EXPECT_EQ(thread, nullptr);
  if (thread != nullptr) {
    CloseHandle(thread);
  }
#else
  EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
  struct rlimit core {};
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
  EXPECT_EQ(core.rlim_cur, 0U);
  EXPECT_EQ(core.rlim_max, 0U);
#endif
}

// Everything after the program name is blanked, whatever the quoting; the
// program name and the length are kept.
TEST(DriverTest, BlanksEveryArgumentOfACommandLine) {
  const struct {
    std::string line;
    std::string program;
  } cases[] = {
      {"singlecrypt esecret in out", "singlecrypt"},
      {"\"C:\\Program Files\\singlecrypt.exe\" \"ea b\" in out",
       "\"C:\\Program Files\\singlecrypt.exe\""},
      {"\"C:\\odd\"name.exe esecret in out", "\"C:\\odd\"name.exe"},
      {"crypt\t\"e\\\"x\\\" y\" in out", "crypt"},
      {"\"unterminated name esecret", "\"unterminated name esecret"},
      {"singlecrypt", "singlecrypt"},
      {"", ""},
  };
  for (const auto& c : cases) {
    const std::string blanked = c.program + std::string(c.line.size() - c.program.size(), ' ');
    std::string narrow = c.line;
    cryptdriver::blank_arguments(narrow.data());
    EXPECT_EQ(narrow, blanked) << c.line;
    std::wstring wide(c.line.begin(), c.line.end());
    cryptdriver::blank_arguments(wide.data());
    EXPECT_EQ(wide, std::wstring(blanked.begin(), blanked.end())) << c.line;
  }
  cryptdriver::blank_arguments(static_cast<char*>(nullptr));
}

}  // namespace
