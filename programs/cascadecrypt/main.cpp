// SPDX-License-Identifier: Apache-2.0
#include "driver.hpp"

int main(int argc, char** argv) {
  return cryptdriver::run_program(argc, argv, cryptcore::KeySchedule::Cascade);
}
