#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes the Debian packages with cpack into a temporary folder and checks them
# without installing them: their fields, their files, lintian's verdict (when
# lintian is installed), and that the programs and manual pages unpacked from
# the package work.
# Usage: package_test.sh BUILD_DIR LIBCRYPTO_LINKING (static or shared) LIBDIR
# CRYPTCORE_TEST_WRAPPER runs the unpacked programs of a cross build.
set -euo pipefail
build=$1
linking=$2
libdir=$3
source "$(dirname "$0")/../support/wrap_program.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
maintainer="cryptcore test suite <tests@cryptcore.example>"

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" \
  -D CPACK_DEBIAN_PACKAGE_MAINTAINER="$maintainer" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
programs=$(echo "$work"/cryptcore_*.deb)
dev=$(echo "$work"/libcryptcore-dev_*.deb)
[ -f "$programs" ] && [ -f "$dev" ] || { ls "$work"; echo "FAIL: not both packages made"; exit 1; }

passed=0
failed=0
exec 3>&1
# expect NAME COMMAND... : the command must succeed.
expect() {
  local name=$1
  shift
  if "$@" >/dev/null 2>&1; then
    passed=$((passed + 1))
  else
    echo "FAIL: $name"
    failed=$((failed + 1))
  fi
}
has_file() { dpkg-deb -c "$1" | grep -E " \./$2\$" >/dev/null; }
field_matches() { dpkg-deb -f "$1" "$2" | grep -E "$3" >/dev/null; }

expect "programs package is named cryptcore" field_matches "$programs" Package '^cryptcore$'
# The Depends field follows how the programs link libcrypto.
if [ "$linking" = shared ]; then
  expect "programs depend on libssl3" field_matches "$programs" Depends '(^|, )libssl3 '
else
  expect "programs with libcrypto linked in need no libssl3" \
    bash -c '! dpkg-deb -f "$0" Depends | grep -q libssl3' "$programs"
fi
expect "programs have the maintainer given" field_matches "$programs" Maintainer "^$maintainer\$"
expect "no package without a maintainer given" bash -c \
  'cpack --config "$0/CPackConfig.cmake" -G DEB -B "$1/none" -D CPACK_DEBIAN_PACKAGE_MAINTAINER= 2>&1 |
   grep -q "needs a Maintainer" && ! ls "$1"/none/*.deb' "$build" "$work"
expect "programs have a description" field_matches "$programs" Description '^encrypt or decrypt'
for file in usr/bin/singlecrypt usr/bin/cascadecrypt \
  usr/share/man/man1/singlecrypt.1.gz usr/share/man/man1/cascadecrypt.1.gz; do
  expect "programs package holds $file" has_file "$programs" "$file"
done
expect "programs package holds no library" bash -c "! dpkg-deb -c '$programs' | grep -q libcryptcore"
expect "dev package depends on libssl-dev" field_matches "$dev" Depends '(^|, )libssl-dev'
for file in "usr/$libdir/libcryptcore.a" usr/include/cryptcore/file_cipher.hpp \
  "usr/$libdir/cmake/cryptcore/cryptcoreConfig.cmake" "usr/$libdir/pkgconfig/cryptcore.pc"; do
  expect "dev package holds $file" has_file "$dev" "$file"
done
# No error or warning, pedantic tags included; what lintian still says is
# informational (run it with -I --pedantic to see it).
if command -v lintian >/dev/null; then
  # Its report goes to the test's output when it fails.
  lint() { lintian --pedantic --fail-on error,warning,pedantic "$@" >"$work/lint.log" 2>&1 ||
    { cat "$work/lint.log" >&3; false; }; }
  expect "lintian passes both packages" lint "$programs" "$dev"
else
  echo "lintian is not installed: the packages' lint is not checked"
fi

# The unpacked programs run, and read each other's files through pipes.
dpkg-deb -x "$programs" "$work/root"
bin=$work/root/usr/bin
# Both packages are of the programs' architecture, read from the ELF header's
# machine field (a cross build's are not of the machine that made them).
machine=$(od -An -tu2 -j18 -N2 "$bin/singlecrypt" | tr -d ' ')
case $machine in
  62) architecture=amd64 ;;
  183) architecture=arm64 ;;
  *) architecture="unknown ELF machine $machine" ;;
esac
for package in "$programs" "$dev"; do
  expect "$(basename "$package") is for $architecture" field_matches "$package" Architecture \
    "^$architecture\$"
done
mkdir "$work/wrapped"
single=$(wrap_program "$work/wrapped" "$bin/singlecrypt")
cascade=$(wrap_program "$work/wrapped" "$bin/cascadecrypt")
head -c 150000 /dev/urandom >"$work/plain"
expect "unpacked programs round-trip through pipes" bash -c \
  "'$single' epw '$work/plain' /dev/stdout | '$cascade' epw /dev/stdin '$work/enc' &&
   '$cascade' dpw '$work/enc' /dev/stdout | '$single' dpw /dev/stdin /dev/stdout |
   cmp - '$work/plain'"
for page in "$work"/root/usr/share/man/man1/*.1.gz; do
  expect "$(basename "$page") renders without warnings" bash -c \
    "[ -z \"\$(MANWIDTH=80 man --warnings=all -l '$page' 2>&1 >/dev/null)\" ]"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
