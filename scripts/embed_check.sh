#!/usr/bin/env bash
# Checks the installed package the way a consumer uses it: installs a build
# into a scratch prefix, builds examples/embed against that prefix with
# find_package(verdane), runs it on the example's requests and compares the
# output with examples/embed/expected.txt.
#
#   scripts/embed_check.sh [BUILD_DIR]    (default: build)
#
# VERDANE_REGEN=1 rewrites expected.txt instead of comparing.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
example=examples/embed
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$example" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
"$scratch/build/embed_example" "$example/withdrawal.policy" "$example/requests.tsv" \
  >"$scratch/output.txt"

if [ -n "${VERDANE_REGEN:-}" ]; then
  cp "$scratch/output.txt" "$example/expected.txt"
  echo "embed check: rewrote $example/expected.txt"
  exit 0
fi
diff -u "$example/expected.txt" "$scratch/output.txt"
echo "embed check: the example built against the installed package gives the expected output"
