#!/usr/bin/env bash
# Writes cmake/startup_order.txt: the code sections of every function that a
# small `eval` runs (the payment example), which the link of the verdane
# executable lays out next to each other so that start-up touches few pages
# and cache lines for the first time. Rerun it after larger changes of what
# `eval` runs; a stale list only loses that effect.
#
#   scripts/startup_order.sh [BUILD_DIR]     a release tree (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/verdane" compile examples/payment.policy --out "$work/payment.bin" >/dev/null
valgrind --tool=callgrind --demangle=no --callgrind-out-file="$work/calls.out" \
  "$build/verdane" eval "$work/payment.bin" --intent examples/intent_pass.json \
  --evidence examples/evidence.json >/dev/null 2>&1

# Function names as the compiler wrote them (callgrind marks recursive calls
# with a trailing 'N); a constructor or destructor has its code under its
# base-object name, so both names are listed.
grep -E "^c?fn=\([0-9]+\) _Z" "$work/calls.out" |
  sed -E "s/^c?fn=\([0-9]+\) //; s/'[0-9]+$//" | sort -u >"$work/names"
{
  cat "$work/names"
  sed -n 's/C1E/C2E/p' "$work/names"
  sed -n 's/D1E/D2E/p' "$work/names"
} | sort -u | sed 's/^/.text./' >"$work/order"
# main is compiled into a section of its own name.
echo ".text.startup.main" >>"$work/order"
cp "$work/order" cmake/startup_order.txt
echo "cmake/startup_order.txt: $(wc -l <cmake/startup_order.txt) sections"
