#!/usr/bin/env bash
# Installs what is missing, builds verdane and runs compile, print and eval on
# the bundled example, explains the failing request, runs the example's test
# file, decides a file of requests in one run and analyses the template.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null
v=build/verdane
ex=examples
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

run() {
  echo "\$ verdane $*"
  "$v" "$@" && status=0 || status=$?
  echo "(exit status $status)"
  echo
}

run compile "$ex/payment.policy" --out "$out/payment.bin"
run print "$out/payment.bin"
run eval "$out/payment.bin" --intent "$ex/intent_pass.json" --evidence "$ex/evidence.json"
run eval "$out/payment.bin" --intent "$ex/intent_fail.json" --evidence "$ex/evidence.json"
run eval "$out/payment.bin" --intent "$ex/intent_fail.json" --evidence "$ex/evidence.json" --explain
run test "$ex/payment.tests.json"
run eval "$out/payment.bin" --batch "$ex/requests.jsonl"
run analyze "$out/payment.bin"
