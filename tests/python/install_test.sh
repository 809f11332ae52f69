#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Python package as a user installs it: the build installed into a
# temporary prefix, the package into a new virtual environment by the one
# documented command, with no package index to reach. The installed package
# must find the installed library by its soname (here through
# LD_LIBRARY_PATH) and pass the package's tests with nothing of the source
# tree on its path.
# Usage: install_test.sh BUILD_DIR PACKAGE_SOURCE TESTS_DIR PYTHON
set -euo pipefail
build=$1 package=$2 tests=$3 python=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
library=$(find "$work/prefix" -name libcryptcore.so.1 -print -quit)
[ -n "$library" ] || fail "libcryptcore.so.1 is not installed"
# pip builds in the folder it is given: a copy keeps the source tree clean.
cp -R "$package" "$work/python"
cd "$work"
"$python" -m venv --system-site-packages V
PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
  V/bin/pip install --no-build-isolation ./python >pip.log 2>&1 || { cat pip.log; fail "pip install"; }
LD_LIBRARY_PATH=$(dirname "$library") V/bin/python - "$work/V" <<'PYTHON' || fail "import cryptcore"
import os, sys, cryptcore
package = os.path.dirname(cryptcore.__file__)
assert package.startswith(sys.argv[1]), f"imported from {package}"
assert os.path.isfile(os.path.join(package, "py.typed")), "py.typed is not installed"
blob = cryptcore.encrypt(b"installed", b"pw", schedule=cryptcore.CASCADE)
assert cryptcore.decrypt(blob, b"pw", schedule=cryptcore.CASCADE) == b"installed"
PYTHON
CRYPTCORE_LIBRARY=$library V/bin/python -m pytest -q -p no:cacheprovider "$tests"
