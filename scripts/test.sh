#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite:
#   1. the release build and every test (unit, end-to-end, hostile inputs),
#      the embedding example, the Python package's tests and the
#      JavaScript package's tests;
#   2. the same tests once more built with AddressSanitizer and UBSan;
#   3. a short run of each fuzz target (30 seconds each).
# VERDANE_QUICK=1 runs step 1 only.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${VERDANE_QUICK:-}" ]; then
  ./scripts/bootstrap.sh
else
  ./scripts/bootstrap.sh --fuzz
fi

echo "== release build and tests"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure
./scripts/embed_check.sh build
echo "== Python package"
./scripts/python_test.sh build
echo "== JavaScript package"
./scripts/js_test.sh build

[ -n "${VERDANE_QUICK:-}" ] && exit 0

echo "== AddressSanitizer + UBSan build and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVERDANE_SANITIZE=address,undefined >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure

echo "== fuzz smoke run"
./scripts/fuzz.sh "${VERDANE_FUZZ_SECONDS:-30}"
