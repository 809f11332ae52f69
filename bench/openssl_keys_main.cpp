// SPDX-License-Identifier: Apache-2.0
// Prints the key and IV of each pass, one "KEY IV" line per pass in pass
// order, for openssl enc. Usage: openssl_keys single|cascade PASSPHRASE
#include <cstdio>
#include <string_view>

#include "openssl_keys.hpp"

int main(int argc, char** argv) {
  const std::string_view schedule_name = argc == 3 ? argv[1] : "";
  if (schedule_name != "single" && schedule_name != "cascade") {
    std::fprintf(stderr, "usage: openssl_keys single|cascade PASSPHRASE\n");
    return 2;
  }
  const auto schedule =
      schedule_name == "single" ? cryptcore::KeySchedule::Single : cryptcore::KeySchedule::Cascade;
  const auto keys = cryptbench::openssl_pass_keys(argv[2], schedule);
  if (keys.empty()) {
    std::fprintf(stderr, "openssl_keys: OpenSSL could not compute SHA-1\n");
    return 1;
  }
  for (const auto& key : keys) {
    std::printf("%s %s\n", key.key_hex.c_str(), key.iv_hex.c_str());
  }
  return 0;
}
