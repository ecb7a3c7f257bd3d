#!/usr/bin/env bash
# Installs the Python package into a fresh virtual environment
# (scripts/python_install.sh) and runs its tests, which compare it with the
# verdane binary of a build:
#
#   scripts/python_test.sh [BUILD_DIR]    (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
./scripts/python_install.sh build-python/venv
VERDANE_BINARY="$PWD/$build/verdane" \
  build-python/venv/bin/python -m pytest -q -p no:cacheprovider python/tests
