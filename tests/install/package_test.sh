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
library=$(echo "$work"/libcryptcore1_*.deb)
dev=$(echo "$work"/libcryptcore-dev_*.deb)
[ -f "$programs" ] && [ -f "$library" ] && [ -f "$dev" ] ||
  { ls "$work"; echo "FAIL: not all three packages made"; exit 1; }

passed=0
failed=0
exec 3>&1
# expect NAME COMMAND... : the command must succeed.
expect() {
  local name=$1
  shift
  if "$@" >"$work/expect.log" 2>&1; then
    passed=$((passed + 1))
  else
    echo "FAIL: $name"
    cat "$work/expect.log"
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
expect "dev package depends on its very library" field_matches "$dev" Depends \
  "(^|, )libcryptcore1 \\(= $(dpkg-deb -f "$library" Version)\\)"
for file in "usr/$libdir/libcryptcore.a" usr/include/cryptcore/file_cipher.hpp \
  usr/include/cryptcore/cryptcore.h "usr/$libdir/libcryptcore.so -> libcryptcore.so.1" \
  "usr/$libdir/cmake/cryptcore/cryptcoreConfig.cmake" "usr/$libdir/pkgconfig/cryptcore.pc" \
  "usr/$libdir/pkgconfig/cryptcore-static.pc"; do
  expect "dev package holds $file" has_file "$dev" "$file"
done

# The shared library's package, as Debian policy has it.
expect "library package is Multi-Arch: same" field_matches "$library" Multi-Arch '^same$'
expect "library package is in section libs" field_matches "$library" Section '^libs$'
for file in "usr/$libdir/libcryptcore.so.1.0.0" "usr/$libdir/libcryptcore.so.1 -> libcryptcore.so.1.0.0"; do
  expect "library package holds $file" has_file "$library" "$file"
done
expect "library package holds no development file" \
  bash -c "! dpkg-deb -c '$library' | grep -E '\.(a|h|hpp|pc)\$|\.so -> '"
dpkg-deb --control "$library" "$work/library-control"
expect "library package runs no maintainer script" \
  bash -c "! ls '$work/library-control' | grep -E '^(pre|post)(inst|rm)\$'"
expect "library package activates the ldconfig trigger" \
  grep -qx 'activate-noawait ldconfig' "$work/library-control/triggers"
expect "library package's shlibs names it" \
  grep -qx 'libcryptcore 1 libcryptcore1 (>= [0-9.]*)' "$work/library-control/shlibs"
dpkg-deb -x "$library" "$work/library-root"
# The symbols file lists exactly what the library exports.
expect "library package's symbols are the library's exports" bash -c \
  "diff <(nm -D --defined-only '$work/library-root/usr/$libdir/libcryptcore.so.1.0.0' | awk '{print \$3 \"@Base\"}' | sort) \
        <(sed -n 's/^ \([^ ]*\) .*/\1/p' '$work/library-control/symbols' | sort)"
# No error or warning, pedantic tags included; what lintian still says is
# informational (run it with -I --pedantic to see it).
if command -v lintian >/dev/null; then
  # Its report goes to the test's output when it fails.
  lint() { lintian --pedantic --fail-on error,warning,pedantic "$@" >"$work/lint.log" 2>&1 ||
    { cat "$work/lint.log" >&3; false; }; }
  expect "lintian passes all three packages" lint "$programs" "$library" "$dev"
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
for package in "$programs" "$library" "$dev"; do
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
