#!/usr/bin/env bash
# Installs the Python package from this checkout into a fresh virtual
# environment, with the README's command, and runs its tests against the
# verdane binary of a build:
#
#   scripts/python_test.sh [BUILD_DIR]    (default: build)
#
# Everything lives in build-python/: the environment is made anew each time,
# the CMake build of the extension is kept, so that a second run rebuilds
# only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
out=build-python
rm -rf "$out/venv"
/usr/bin/python3 -m venv --system-site-packages "$out/venv"
VERDANE_CMAKE_BUILD_DIR="$PWD/$out/cmake" \
  "$out/venv/bin/pip" install --quiet --no-build-isolation ./python
VERDANE_BINARY="$PWD/$build/verdane" \
  "$out/venv/bin/python" -m pytest -q -p no:cacheprovider python/tests
