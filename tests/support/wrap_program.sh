# SPDX-License-Identifier: Apache-2.0
# Sourced by the test scripts that run programs of the build. When
# CRYPTCORE_TEST_WRAPPER names a command to run them under (qemu-user for a
# cross build, valgrind), wrap_program DIR PROGRAM writes DIR/NAME, a script
# that runs PROGRAM under that command, and prints its path; without one it
# prints PROGRAM. A script rather than a prefix, so that every `bash -c`,
# pipe and `env` in a test runs the program the same way. (A preloaded library
# built for the emulated machine makes the script's own shell say that it
# cannot preload it; the program under the emulator loads it all the same.)
wrap_program() {
  if [ -z "${CRYPTCORE_TEST_WRAPPER:-}" ]; then
    printf '%s\n' "$2"
    return
  fi
  local script
  script=$1/$(basename "$2")
  # No core files: the programs make themselves non-dumpable, which qemu-user
  # does not heed when the program dies of SIGQUIT (it then hangs trying to
  # write a core file of its own).
  printf '#!/bin/sh\nulimit -c 0\nexec %s %q "$@"\n' "$CRYPTCORE_TEST_WRAPPER" "$2" >"$script"
  chmod +x "$script"
  printf '%s\n' "$script"
}
