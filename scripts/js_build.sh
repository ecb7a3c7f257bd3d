#!/usr/bin/env bash
# Builds the JavaScript package's WebAssembly module with Debian's emscripten
# into js/dist/ (verdane_core.mjs and verdane_core.wasm) and installs the
# package's npm dependencies from its lock file.
#
#   scripts/js_build.sh [BUILD_DIR]    (default: build-js)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build-js}"
# Debian's emcc runs its tools with Debian's node modules (acorn), which a
# node installed elsewhere does not find by itself.
export NODE_PATH="${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs"

emcmake cmake -S js -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
mkdir -p js/dist
cp "$build/verdane_core.mjs" "$build/verdane_core.wasm" js/dist/

if [ ! -d js/node_modules ] || [ js/package-lock.json -nt js/node_modules ]; then
  (cd js && npm ci --no-audit --no-fund --loglevel=error)
  touch js/node_modules
fi
