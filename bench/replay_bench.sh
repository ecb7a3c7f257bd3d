#!/usr/bin/env bash
# A benchmark, not a test: `verdane replay` against `eval --batch` on the same
# requests, in one run. verdane serve (on loopback, --decision-log-sync none)
# decides a file of payment requests through its batch route, which writes
# the decision log; then hyperfine times, on the same machine in the same
# run, `eval --batch` over the request file and `replay` over the log, under
# the template that wrote it (every line unchanged) and under one with a
# lower limit (some decisions change; against `eval --batch` under that one),
# in rounds that take turns. Prints
# medians and the throughput ratio per line (eval --batch time / replay time;
# target >= 0.8), also with --jobs 2.
#
#   bench/replay_bench.sh [LINES]   (default 200000)
# Needs hyperfine (`scripts/bootstrap.sh --bench`).
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-200000}
./scripts/bootstrap.sh --bench
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target verdane verdane-serve >/dev/null
v=build/verdane

work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Payment requests, a fifth of them failing in various ways.
/usr/bin/python3 - "$lines" >"$work/requests.jsonl" <<'PY'
import json, random, sys
rng = random.Random(7)
for i in range(int(sys.argv[1])):
    intent = {"amount": rng.randint(1, 1500), "currency": rng.choice(["EUR", "CHF", "USD", "EUR", "JPY"]),
              "payee": rng.choice(["ACME Corp", "Globex", "Initech", "Shady Ltd"]),
              "execute_on": "2024-%02d-%02d" % (rng.randint(1, 12), rng.randint(1, 28))}
    if rng.random() < 0.3:
        intent["daily_limit"] = rng.randint(500, 2000)
    evidence = {"balance": rng.randint(500, 5000), "fee": rng.randint(0, 10),
                "blocked_payees": ["Shady Ltd", "Unknown Holdings"], "cutoff": "2024-12-31"}
    print(json.dumps({"intent": intent, "evidence": evidence}))
PY
cp examples/payment.policy "$work/payment.policy"
sed 's/^  0 < intent.amount <= evidence.balance - evidence.fee;/  0 < intent.amount <= 1000;\n&/' \
  examples/payment.policy >"$work/payment_v2.policy"
"$v" compile "$work/payment.policy" --out "$work/payment.bin" >/dev/null
"$v" compile "$work/payment_v2.policy" --out "$work/payment_v2.bin" >/dev/null

# The service writes the log while it decides the file through its batch route.
mkdir "$work/store"
"$v" serve --store "$work/store" --listen 127.0.0.1:0 --decision-log "$work/decisions.log" \
  --decision-log-sync none >"$work/serve.out" 2>"$work/serve.err" &
server=$!
for _ in $(seq 200); do
  grep -q '^listening on ' "$work/serve.out" 2>/dev/null && break
  sleep 0.05
done
url=$(sed -n 's/^listening on //p' "$work/serve.out")
[ -n "$url" ] || { echo "the service did not start: $(cat "$work/serve.err")" >&2; exit 1; }
curl -sS -o /dev/null -H 'Content-Type: text/plain' --data-binary @"$work/payment.policy" \
  "$url/v1/templates"
id=$("$v" compile "$work/payment.policy" --out "$work/id.bin" | sed 's/.*=//')
curl -sS -o /dev/null -X PUT -H 'Content-Type: application/json' -d "{\"template_id\": \"$id\"}" \
  "$url/v1/names/payment"
curl -sS -o /dev/null --max-time 600 -H 'Content-Type: application/x-ndjson' \
  --data-binary @"$work/requests.jsonl" "$url/v1/names/payment/batch"
kill "$server"
wait "$server" 2>/dev/null || true
server=
logged=$(wc -l <"$work/decisions.log")
[ "$logged" = "$lines" ] || { echo "the log has $logged lines, not $lines" >&2; exit 1; }

batch="$v eval $work/payment.bin --batch $work/requests.jsonl"
same="$v replay $work/decisions.log --template $work/payment.bin"
lower="$v replay $work/decisions.log --template $work/payment_v2.bin"
batch_v2="$v eval $work/payment_v2.bin --batch $work/requests.jsonl"
commands=("$batch" "$same" "$batch_v2" "$lower" "$batch --jobs 2" "$same --jobs 2")
# Rounds of every command in turn, so that a change in the machine's load
# falls on all of them alike: each round's ratios are taken from its own
# medians, and the rounds' ratios are summed up by their median.
rounds=5
for r in $(seq "$rounds"); do
  hyperfine -N -i --style none --warmup 1 --runs 3 --export-csv "$work/round$r.csv" \
    "${commands[@]}" >/dev/null 2>&1
done
# Column c (1-based, in command order) of every round: the median seconds.
column() {
  for r in $(seq "$rounds"); do tail -n +2 "$work/round$r.csv" | sed -n "${1}p" | cut -d, -f4; done
}
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
# The median over the rounds of (command a's time / command b's time).
ratio() {
  paste <(column "$1") <(column "$2") | awk '{ printf "%.4f\n", $1 / $2 }' | median |
    awk '{ printf "%.2f", $1 }'
}
floor_ratio() {
  paste <(column "$1") <(column "$2") | awk '{ printf "%.4f\n", $1 / $2 }' | sort -g | head -1 |
    awk '{ printf "%.2f", $1 }'
}
per_line() { column "$1" | median | awk -v n="$lines" '{ printf "%.2f us/line", $1 * 1e6 / n }'; }
echo "$lines requests; log $(( $(stat -c %s "$work/decisions.log") >> 20 )) MiB," \
  "requests $(( $(stat -c %s "$work/requests.jsonl") >> 20 )) MiB; $rounds rounds of 3 runs each"
echo "throughput ratio = eval --batch time / replay time, median over the rounds (lowest round)"
echo "eval --batch:               $(per_line 1)"
echo "replay, same template:      $(per_line 2), throughput ratio $(ratio 1 2) ($(floor_ratio 1 2))   (target >= 0.8)"
echo "eval --batch, lower limit:  $(per_line 3)"
echo "replay, lower limit:        $(per_line 4), throughput ratio $(ratio 3 4) ($(floor_ratio 3 4))"
echo "eval --batch --jobs 2:      $(per_line 5)"
echo "replay --jobs 2:            $(per_line 6), throughput ratio $(ratio 5 6) ($(floor_ratio 5 6))"
"$v" replay "$work/decisions.log" --template "$work/payment_v2.bin" | sed -n '1,8s/^/  /p'
