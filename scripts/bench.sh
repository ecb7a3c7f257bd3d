#!/usr/bin/env bash
# Whole-process benchmarks of the release binary. Generates its inputs, runs
# each command several times with hyperfine and prints medians, ratios and
# peak memory:
#   start-up       eval of a small template vs. an empty C++ program
#   large evidence eval over ~50 MB of evidence vs. reading and parsing the
#                  same file with RapidJSON alone
#   compile        MB/s of template source on a ~5 MB template, writing included
#   Python         per-decision cost of the package vs. json.loads of the same
#                  texts (bench/python_bench.py)
# Micro-benchmarks of each stage: build-bench/bench/verdane_micro_bench.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh --bench

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVERDANE_BUILD_TESTS=OFF \
  -DVERDANE_BUILD_BENCH=ON >/dev/null
cmake --build build-bench >/dev/null
b=build-bench
v=$b/verdane
data=$b/data
mkdir -p "$data"
[ -f "$data/sets_evidence.json" ] || "$b/bench/bench_gen_inputs" "$data"
"$v" compile "$data/small.policy" --out "$data/small.bin" >/dev/null
"$v" compile "$data/sets.policy" --out "$data/sets.bin" >/dev/null

# median wall seconds of each command, in order, from a hyperfine run
medians() {
  local csv
  csv=$(mktemp)
  hyperfine -N --style none --export-csv "$csv" "$@" >/dev/null
  tail -n +2 "$csv" | awk -F, '{print $4}'
  rm -f "$csv"
}
# median peak resident memory (KiB) of three runs
peak_kb() {
  for _ in 1 2 3; do /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; done | sort -n | sed -n 2p
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.3f ms", s * 1000 }'; }

echo "== start-up (median of 300 runs each)"
small=("$v" eval "$data/small.bin" --intent "$data/small_intent.json" --evidence "$data/small_evidence.json")
mapfile -t m < <(medians --warmup 30 --runs 300 "$b/bench/bench_empty_main" "${small[*]}")
echo "empty main:       $(ms "${m[0]}")"
echo "eval (small):     $(ms "${m[1]}")"
echo "ratio:            $(ratio "${m[1]}" "${m[0]}")   (target <= 1.5)"

echo "== large evidence ($(du -m "$data/sets_evidence.json" | cut -f1) MB, median of 7 runs each)"
floor=("$b/bench/bench_rapidjson_floor" "$data/sets_evidence.json")
large=("$v" eval "$data/sets.bin" --intent "$data/sets_intent.json" --evidence "$data/sets_evidence.json")
mapfile -t m < <(medians --warmup 1 --runs 7 "${floor[*]}" "${large[*]}")
echo "RapidJSON floor:  $(ms "${m[0]}")"
echo "eval (large):     $(ms "${m[1]}")"
echo "ratio:            $(ratio "${m[1]}" "${m[0]}")   (target <= 2)"
size_kb=$(( $(stat -c %s "$data/sets_evidence.json") / 1024 ))
floor_kb=$(peak_kb "${floor[@]}")
eval_kb=$(peak_kb "${large[@]}")
echo "peak memory:      floor $((floor_kb / 1024)) MiB, eval $((eval_kb / 1024)) MiB, file $((size_kb / 1024)) MiB"
echo "eval peak / file: $(ratio "$eval_kb" "$size_kb")   (target < 3)"

echo "== compile ($(du -m "$data/large.policy" | cut -f1) MB of source, median of 7 runs)"
mapfile -t m < <(medians --warmup 1 --runs 7 "$v compile $data/large.policy --out $data/large.bin")
bytes=$(stat -c %s "$data/large.policy")
echo "compile (large):  $(ms "${m[0]}")"
echo "throughput:       $(awk -v b="$bytes" -v s="${m[0]}" 'BEGIN { printf "%.0f MB/s", b / s / 1e6 }')   (target >= 100)"
echo "peak memory:      $(( $(peak_kb "$v" compile "$data/large.policy" --out "$data/large.bin") / 1024 )) MiB"

./scripts/python_install.sh build-python/venv
VERDANE_BINARY="$v" build-python/venv/bin/python bench/python_bench.py
