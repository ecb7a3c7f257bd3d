#!/usr/bin/env bash
# Installs what is missing, builds verdane and runs compile, print and eval on
# the bundled example, explains the failing request, runs the example's test
# file, decides a file of requests in one run and analyses the template;
# then starts the decision service on a free loopback port, uploads and names
# the example, decides the pass and fail requests with curl, and stops it;
# last, replays its decision log under the example with a lower limit.
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

echo "\$ verdane serve --store STORE --listen 127.0.0.1:0 --decision-log decisions.log"
mkdir "$out/store"
"$v" serve --store "$out/store" --listen 127.0.0.1:0 --decision-log "$out/decisions.log" \
  >"$out/serve.out" &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -rf "$out"' EXIT
for _ in $(seq 100); do
  [ -s "$out/serve.out" ] && break
  sleep 0.05
done
cat "$out/serve.out"
url=$(sed 's/^listening on //' "$out/serve.out")
request() {
  printf '{"intent": %s, "evidence": %s}' "$(cat "$ex/intent_$1.json")" "$(cat "$ex/evidence.json")"
}
call() {
  echo "\$ curl ... ${*: -1}"
  curl -sS -w '\n(HTTP %{http_code})\n' "$@"
  echo
}
call -H 'Content-Type: text/plain' --data-binary @"$ex/payment.policy" "$url/v1/templates"
id=$(curl -sS "$url/v1/templates" | sed 's/.*"template_id":"\([^"]*\)".*/\1/')
call -X PUT -H 'Content-Type: application/json' -d "{\"template_id\": \"$id\"}" "$url/v1/names/payment"
call -H 'Content-Type: application/json' -d "$(request pass)" "$url/v1/names/payment/eval"
call -H 'Content-Type: application/json' -d "$(request fail)" "$url/v1/names/payment/eval?explain=true"
echo "\$ kill -TERM <server>"
kill -TERM "$server"
wait "$server" && status=0 || status=$?
echo "(exit status $status)"

echo
# The same requests under a version that allows at most 200 a payment.
sed 's/^requires {$/requires {\n  intent.amount <= 200;/' "$ex/payment.policy" >"$out/payment_v2.policy"
"$v" compile "$out/payment_v2.policy" --out "$out/payment_v2.bin" >/dev/null
run replay "$out/decisions.log" --template "$out/payment_v2.bin"
