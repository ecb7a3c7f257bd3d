#!/usr/bin/env bash
# Builds the playground (a static page: the package's WebAssembly module,
# CodeMirror and the page's code bundled by esbuild) into playground/dist/
# and serves it on http://127.0.0.1:8000 (or the port given).
#
#   scripts/playground.sh [--build-only] [PORT]
set -euo pipefail
cd "$(dirname "$0")/.."

build_only=""
if [ "${1:-}" = "--build-only" ]; then
  build_only=1
  shift
fi
port="${1:-8000}"

./scripts/js_build.sh
if [ ! -d playground/node_modules ] || [ playground/package-lock.json -nt playground/node_modules ]; then
  (cd playground && npm ci --no-audit --no-fund --loglevel=error)
  touch playground/node_modules
fi
dist=playground/dist
mkdir -p "$dist"
playground/node_modules/.bin/esbuild playground/src/main.js --bundle --format=esm \
  --platform=browser --target=es2022 --minify --external:node:* \
  --alias:verdane=./js/index.js --loader:.policy=text --loader:.json=text \
  --outfile="$dist/playground.js" --log-level=warning
cp playground/index.html playground/style.css js/dist/verdane_core.wasm "$dist/"

[ -n "$build_only" ] && exit 0
echo "playground: http://127.0.0.1:$port/"
exec /usr/bin/python3 -m http.server --bind 127.0.0.1 --directory "$dist" "$port"
