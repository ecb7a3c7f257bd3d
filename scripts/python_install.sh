#!/usr/bin/env bash
# Makes a fresh virtual environment and installs the Python package from this
# checkout into it, with the command docs/python.md gives:
#
#   scripts/python_install.sh [VENV_DIR]    (default: build-python/venv)
#
# The CMake build of the extension is kept in build-python/cmake, so that a
# second install rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${1:-build-python/venv}"
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
VERDANE_CMAKE_BUILD_DIR="$PWD/build-python/cmake" \
  "$venv/bin/pip" install --quiet --no-build-isolation ./python
