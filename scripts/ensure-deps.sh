#!/usr/bin/env bash
# Installs the Debian packages the build needs, or says exactly which are
# missing when they cannot be installed. Usage: ensure-deps.sh [windows] [package...]
# "windows" adds what the Windows build needs: MinGW-w64 (posix threads), Wine
# to run the tests, and GoogleTest's sources to build it for the target.
set -eu
extra=()
if [ "${1:-}" = windows ]; then
  shift
  extra=(g++-mingw-w64-x86-64-posix wine64 googletest)
fi
packages=(cmake make g++ libssl-dev libgtest-dev libbenchmark-dev python3 man-db groff-base dpkg-dev
          openssl time "${extra[@]}" "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "Installing missing packages: ${missing[*]}" >&2
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
