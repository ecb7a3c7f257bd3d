#!/usr/bin/env bash
# Builds the JavaScript package (scripts/js_build.sh) and runs its tests with
# node's test runner, then builds the playground and tests it in a headless
# browser; both compare what they show with the verdane binary of a build:
#
#   scripts/js_test.sh [BUILD_DIR]    (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
./scripts/js_build.sh
VERDANE_BINARY="$PWD/$build/verdane" node --test js/test/api.test.mjs js/test/cases.test.mjs js/test/docs.test.mjs \
  js/test/values.test.mjs
# The playground in Debian's chromium, headless.
./scripts/playground.sh --build-only
VERDANE_BINARY="$PWD/$build/verdane" node --test playground/test/browser.test.mjs
