// SPDX-License-Identifier: Apache-2.0
// The key and IV of each pass of a schedule, as hex for `openssl enc -K -iv`,
// so that the benchmark can give openssl the same work as our programs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "format/key_schedule.hpp"

namespace cryptbench {

struct OpensslPassKey {
  std::string key_hex;
  std::string iv_hex;
};

// Recomputes the pass keys of `schedule` from `passphrase` as the manual
// page's FILE FORMAT section describes them (the library keeps its key bytes
// to itself), in pass order. Empty if OpenSSL cannot hash.
std::vector<OpensslPassKey> openssl_pass_keys(std::string_view passphrase,
                                              cryptcore::KeySchedule schedule);

}  // namespace cryptbench
