#!/usr/bin/env bash
# Benchmarks of the release build. Generates its inputs, runs each command
# several times (hyperfine, Google Benchmark) and prints medians, the ratios
# of medians measured in the same run, and peak memory:
#   (a) decision   one decision through the API (evaluate on parsed inputs,
#                  evaluate_json) vs. parsing the same two texts into
#                  RapidJSON documents, in one process
#   (b) batch      eval --batch over a million payment requests vs. reading the
#                  file and parsing each line with RapidJSON
#   (c) jobs       eval --batch --jobs 2 vs. --jobs 1
#   (d) large      eval over ~50 MB of evidence vs. reading the file and
#                  parsing it in place with RapidJSON
#   start-up       eval of a small template vs. an empty C++ program
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
[ -f "$data/requests.jsonl" ] || "$b/bench/bench_gen_inputs" "$data"
"$v" compile "$data/small.policy" --out "$data/small.bin" >/dev/null
"$v" compile "$data/sets.policy" --out "$data/sets.bin" >/dev/null
"$v" compile "$data/payment.policy" --out "$data/payment.bin" >/dev/null

# median wall seconds of each command, in order, from a hyperfine run (a
# batch with failing requests exits with status 1)
medians() {
  local csv
  csv=$(mktemp)
  hyperfine -N -i --style none --export-csv "$csv" "$@" >/dev/null
  tail -n +2 "$csv" | awk -F, '{print $4}'
  rm -f "$csv"
}
# median peak resident memory (KiB) of three runs
peak_kb() {
  for _ in 1 2 3; do /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; done | sort -n | sed -n 2p
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.3f ms", s * 1000 }'; }

echo "== (a) one decision through the API (median CPU time of 9 repetitions)"
gb=$(mktemp)
"$b/bench/verdane_api_bench" --benchmark_repetitions=9 --benchmark_report_aggregates_only=true \
  --benchmark_filter='Floor_RapidJsonTwoDocuments|EvaluateParsed/fail:0|EvaluateJson/fail:0' \
  2>/dev/null >"$gb"
# median CPU ns of one benchmark
gb_median() { awk -v n="$1_median" '$1 == n { print $4 }' "$gb"; }
floor_ns=$(gb_median BM_Floor_RapidJsonTwoDocuments)
parsed_ns=$(gb_median BM_EvaluateParsed/fail:0)
json_ns=$(gb_median BM_EvaluateJson/fail:0)
rm -f "$gb"
echo "RapidJSON floor:  $floor_ns ns (two documents)"
echo "evaluate parsed:  $parsed_ns ns, ratio $(ratio "$parsed_ns" "$floor_ns")   (target <= 0.3)"
echo "evaluate_json:    $json_ns ns, ratio $(ratio "$json_ns" "$floor_ns")   (target <= 1.5)"

lines=$(wc -l <"$data/requests.jsonl")
echo "== (b) batch of $lines payment requests, (c) --jobs 2 (median of 5 runs each)"
batch=("$v" eval "$data/payment.bin" --batch "$data/requests.jsonl")
mapfile -t m < <(medians --warmup 1 --runs 5 "$b/bench/bench_batch_floor $data/requests.jsonl" \
  "${batch[*]}" "${batch[*]} --jobs 2")
echo "RapidJSON floor:  $(ms "${m[0]}")"
echo "--batch:          $(ms "${m[1]}"), ratio $(ratio "${m[1]}" "${m[0]}")   (target <= 2)"
echo "--jobs 2:         $(ms "${m[2]}"), speed-up $(ratio "${m[1]}" "${m[2]}")   (target >= 1.7)"
echo "peak memory:      $(( $(peak_kb "${batch[@]}" --jobs 2) / 1024 )) MiB for a $(( $(stat -c %s "$data/requests.jsonl") >> 20 )) MiB file"

echo "== start-up (median of 300 runs each)"
small=("$v" eval "$data/small.bin" --intent "$data/small_intent.json" --evidence "$data/small_evidence.json")
mapfile -t m < <(medians --warmup 30 --runs 300 "$b/bench/bench_empty_main" "${small[*]}")
echo "empty main:       $(ms "${m[0]}")"
echo "eval (small):     $(ms "${m[1]}")"
echo "ratio:            $(ratio "${m[1]}" "${m[0]}")   (target <= 1.2)"

echo "== (d) large evidence ($(du -m "$data/sets_evidence.json" | cut -f1) MB, median of 7 runs each)"
floor=("$b/bench/bench_rapidjson_floor" --insitu "$data/sets_evidence.json")
large=("$v" eval "$data/sets.bin" --intent "$data/sets_intent.json" --evidence "$data/sets_evidence.json")
mapfile -t m < <(medians --warmup 1 --runs 7 "${floor[*]}" "${large[*]}")
echo "in-situ floor:    $(ms "${m[0]}")"
echo "eval (large):     $(ms "${m[1]}")"
echo "ratio:            $(ratio "${m[1]}" "${m[0]}")   (target <= 1.5)"
size_kb=$(( $(stat -c %s "$data/sets_evidence.json") / 1024 ))
floor_kb=$(peak_kb "${floor[@]}")
eval_kb=$(peak_kb "${large[@]}")
echo "peak memory:      floor $((floor_kb / 1024)) MiB, eval $((eval_kb / 1024)) MiB, file $((size_kb / 1024)) MiB"
echo "eval peak / file: $(ratio "$eval_kb" "$size_kb")   (target < 2.5)"

echo "== compile ($(du -m "$data/large.policy" | cut -f1) MB of source, median of 7 runs)"
mapfile -t m < <(medians --warmup 1 --runs 7 "$v compile $data/large.policy --out $data/large.bin")
bytes=$(stat -c %s "$data/large.policy")
echo "compile (large):  $(ms "${m[0]}")"
echo "throughput:       $(awk -v b="$bytes" -v s="${m[0]}" 'BEGIN { printf "%.0f MB/s", b / s / 1e6 }')   (target >= 100)"
echo "peak memory:      $(( $(peak_kb "$v" compile "$data/large.policy" --out "$data/large.bin") / 1024 )) MiB"

./scripts/python_install.sh build-python/venv
VERDANE_BINARY="$v" build-python/venv/bin/python bench/python_bench.py
