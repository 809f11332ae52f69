#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the build needs, or says exactly which are
# missing when they cannot be installed.
# Usage: ensure-deps.sh [sample|bench] [--for BUILD]... [package...]
# By default: what scripts/test.sh needs, the whole suite (gcc and binutils
# for the C interface's tests: a C compiler, nm and readelf; python3-venv,
# python3-wheel, python3-pytest and python3-hypothesis for the Python
# package's, which installs it into a virtual environment). "sample" is only
# what building the two programs needs (cmake, make, g++, libssl-dev), as
# scripts/sample.sh does; "bench" that, and what bench/run.sh runs beside
# them (openssl, GNU time). --for adds what another build needs: arm64 (the
# cross compiler, Debian's arm64 libraries beside the machine's own, and
# qemu-user to run what it builds), clang (clang 14) or windows (MinGW-w64
# with posix threads, Wine to run the tests, and GoogleTest's sources to build
# it for the target).
# A package of another architecture (libssl-dev:arm64) makes it add that
# architecture to dpkg first.
set -eu
sample=(cmake make g++ libssl-dev)
bench=("${sample[@]}" openssl time)
case ${1:-} in
  sample) packages=("${sample[@]}"); shift ;;
  bench) packages=("${bench[@]}"); shift ;;
  *) packages=("${bench[@]}" gcc binutils libgtest-dev libbenchmark-dev python3 man-db groff-base
               dpkg-dev lintian pkgconf python3-venv python3-wheel python3-pytest
               python3-hypothesis) ;;
esac
while [ $# -gt 0 ]; do
  case $1 in
    --for)
      case ${2:-} in
        arm64) packages+=(g++-aarch64-linux-gnu gcc-aarch64-linux-gnu libssl-dev:arm64 libgtest-dev:arm64
                          libbenchmark-dev:arm64 qemu-user-static) ;;
        clang) packages+=(clang-14) ;;
        windows) packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 googletest) ;;
        *) echo "ensure-deps.sh: no build named '${2:-}' (arm64, clang or windows)" >&2; exit 2 ;;
      esac
      shift 2 ;;
    *) packages+=("$1"); shift ;;
  esac
done
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# The architectures of missing packages that dpkg does not know yet.
new_architectures=()
for architecture in $(printf '%s\n' "${missing[@]}" | sed -n 's/^.*://p' | sort -u); do
  [ "$architecture" = "$(dpkg --print-architecture)" ] ||
    dpkg --print-foreign-architectures | grep -qx "$architecture" ||
    new_architectures+=("$architecture")
done

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "Installing missing packages: ${missing[*]}" >&2
  for architecture in "${new_architectures[@]}"; do
    dpkg --add-architecture "$architecture"
  done
  # Another apt run on a shared machine holds the lock for a while: wait for it.
  apt-get -o DPkg::Lock::Timeout=300 update -qq
  apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing Debian packages: ${missing[*]}" >&2
  add=""
  for architecture in "${new_architectures[@]}"; do
    add+="sudo dpkg --add-architecture $architecture && "
  done
  [ -z "$add" ] || add+="sudo apt-get update && "
  echo "Install them with: ${add}sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
