#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan, and
# runs each for the given number of seconds (default 30) starting from the
# checked-in seed corpus. Exits non-zero on any finding.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: compile decode eval load
#                                             test_file batch serve log_line
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(compile decode eval load test_file batch serve log_line)

./scripts/bootstrap.sh --fuzz
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DVERDANE_FUZZ=ON -DVERDANE_BUILD_TESTS=OFF \
  -DVERDANE_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz --target "${targets[@]/#/fuzz_}"

status=0
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$t/." "$work/" 2>/dev/null || true
  log="build-fuzz/fuzz_$t.log"
  echo "== fuzz_$t for ${seconds}s"
  if (cd build-fuzz && "./fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=65536 \
        -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="fuzz_$t-" \
        "$work") >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^Done " "$log" || true
  else
    grep -E "ERROR|SUMMARY|Test unit written|runtime error" "$log" | head -20 >&2 || true
    echo "fuzz_$t: FINDING, see $log and the artifact in build-fuzz/" >&2
    status=1
  fi
  rm -rf "$work"
done
exit $status
