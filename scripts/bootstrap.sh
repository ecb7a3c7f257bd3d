#!/usr/bin/env bash
# Installs the Debian packages that building and testing verdane needs.
# Idempotent: prints nothing and touches nothing when everything is present;
# otherwise refreshes the package lists once and installs what is missing.
#
#   scripts/bootstrap.sh           build and test dependencies
#   scripts/bootstrap.sh --fuzz    also clang and its fuzzing runtime
#   scripts/bootstrap.sh --bench   also hyperfine, GNU time, and wrk and nginx for
#                                  bench/serve_bench.sh
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  rapidjson-dev nettle-dev libz3-dev
  libgtest-dev libbenchmark-dev
  python3-dev python3-venv python3-setuptools python3-wheel
  pybind11-dev python3-pybind11 python3-pytest
  libboost-dev libssl-dev openssl curl
  emscripten chromium
)
# The JavaScript package is built and tested with node and npm: Debian's,
# unless a node of its own is already installed (one that brings its npm).
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
case "${1:-}" in
  --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
  --bench) packages+=(hyperfine time wrk nginx-light) ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "bootstrap: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
