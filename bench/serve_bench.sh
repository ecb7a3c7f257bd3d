#!/usr/bin/env bash
# A benchmark, not a test: verdane serve against a floor and a peer, with wrk
# on loopback and keep-alive connections, deciding the payment example's pass
# and fail requests, with 1 and 2 server threads, all in one run:
#   floor  nginx answering a fixed JSON body of the same size as the answer
#   peer   a Node.js service (fastify + @marcbachmann/cel-js, bench/serve_peer)
#          deciding the same five constraints
# Then verdane's resident memory with 1,000 idle keep-alive connections, and
# the same verdane runs with the decision log on (--decision-log-sync always,
# the log in the system's temp folder), against the runs without it.
#
#   bench/serve_bench.sh [SECONDS] [log]   (default 5 per measurement; `log`:
#                                           only the decision log's runs)
# Needs `scripts/bootstrap.sh --bench` (wrk, nginx) and node with npm.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
only=${2:-}
connections=8
./scripts/bootstrap.sh --bench
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target verdane verdane-serve >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
# Starts "$@" with its stdout in $work/$name.out and waits for its
# `listening on URL` line; sets $url and $pid.
start() {
  local name=$1
  shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 200); do
    grep -q '^listening on ' "$work/$name.out" 2>/dev/null && break
    sleep 0.05
  done
  url=$(sed -n 's/^listening on //p' "$work/$name.out" | head -1)
  [ -n "$url" ] || { echo "$name did not start: $(cat "$work/$name.out" "$work/$name.err")" >&2; exit 1; }
}
stop() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# The two request bodies, each on one line.
for kind in pass fail; do
  /usr/bin/python3 - "$kind" >"$work/$kind.json" <<'PY'
import json, sys
kind = sys.argv[1]
req = {"intent": json.load(open(f"examples/intent_{kind}.json")),
       "evidence": json.load(open("examples/evidence.json"))}
print(json.dumps(req, separators=(",", ":")), end="")
PY
  cat >"$work/$kind.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
local f = io.open("$work/$kind.json")
wrk.body = f:read("*a")
f:close()
LUA
done

# wrk's requests per second and 99th percentile latency in microseconds.
measure() {
  local threads=$1 target=$2 script=$3
  local out
  out=$(wrk -t "$threads" -c "$connections" -d "${seconds}s" --latency -s "$script" "$target")
  local rps p99
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub("us","",v); print v} else if (v ~ /ms$/) {sub("ms","",v); print v*1000} else {sub("s","",v); print v*1000000}}' <<<"$out")
  if grep -q "Non-2xx" <<<"$out"; then echo "non-2xx answers from $target" >&2; exit 1; fi
  echo "$rps $p99"
}

# verdane serve with the example store.
mkdir "$work/store"
start seed build/verdane serve --store "$work/store" --listen 127.0.0.1:0
curl -sS -H 'Content-Type: text/plain' --data-binary @examples/payment.policy "$url/v1/templates" >"$work/upload.json"
id=$(sed 's/.*"template_id":"\([^"]*\)".*/\1/' "$work/upload.json")
stop "$pid"

# The decision log: each thread count and case measured without the log and
# with it, one after the other, so both see the same machine load.
log_runs() {
  printf '\n%-12s %-4s %-7s %12s %10s %10s\n' server case threads "req/s" "p99 (us)" "lines/sync"
  for threads in 1 2; do
    for kind in pass fail; do
      start verdane build/verdane serve --store "$work/store" --listen 127.0.0.1:0 --threads "$threads" --read-only
      read -r r0 p0 < <(measure "$threads" "$url/v1/templates/$id/eval" "$work/$kind.lua")
      stop "$pid"
      rm -f "$work/decisions.log"
      start verdane build/verdane serve --store "$work/store" --listen 127.0.0.1:0 --threads "$threads" --read-only \
        --decision-log "$work/decisions.log" --decision-log-sync always
      read -r r1 p1 < <(measure "$threads" "$url/v1/templates/$id/eval" "$work/$kind.lua")
      per_sync=$(curl -sS "$url/metrics" | awk '$1 == "verdane_decision_log_lines_total" {l=$2} $1 == "verdane_decision_log_syncs_total" {s=$2} END {printf "%.1f", s ? l / s : 0}')
      stop "$pid"
      printf '%-12s %-4s %-7s %12s %10s %10s\n' verdane "$kind" "$threads" "$r0" "$p0" "-"
      printf '%-12s %-4s %-7s %12s %10s %10s\n' verdane+log "$kind" "$threads" "$r1" "$p1" "$per_sync"
      awk -v a="$r1" -v b="$r0" -v k="$kind" -v t="$threads" \
        'BEGIN { printf "%-4s threads=%s  with log / without: %.2fx\n", k, t, a / b }'
    done
  done
}
if [ "$only" = log ]; then
  log_runs
  exit 0
fi

# The Node peer's packages, from the committed lock file.
mkdir "$work/peer"
cp bench/serve_peer/package.json bench/serve_peer/package-lock.json bench/serve_peer/server.js "$work/peer/"
(cd "$work/peer" && npm ci --no-audit --no-fund --silent >/dev/null)

printf '%-8s %-4s %-7s %12s %10s\n' server case threads "req/s" "p99 (us)"
declare -A rps p99
for threads in 1 2; do
  start verdane build/verdane serve --store "$work/store" --listen 127.0.0.1:0 --threads "$threads" --read-only
  vurl=$url
  vpid=$pid
  for kind in pass fail; do
    answer=$(curl -sS -H 'Content-Type: application/json' --data-binary @"$work/$kind.json" "$vurl/v1/templates/$id/eval")
    printf '%s' "$answer" >"$work/answer_$kind.json"
  done
  # nginx: the same number of workers, a fixed body of each answer's size.
  port=$(free_port)
  mkdir -p "$work/nginx$threads"
  cat >"$work/nginx$threads/nginx.conf" <<NGINX
worker_processes $threads;
daemon off;
pid $work/nginx$threads/nginx.pid;
error_log $work/nginx$threads/error.log;
events { worker_connections 2048; }
http {
  access_log off;
  client_body_temp_path $work/nginx$threads;
  proxy_temp_path $work/nginx$threads;
  fastcgi_temp_path $work/nginx$threads;
  uwsgi_temp_path $work/nginx$threads;
  scgi_temp_path $work/nginx$threads;
  keepalive_requests 100000000;
  server {
    listen 127.0.0.1:$port;
    default_type application/json;
    location /pass { return 200 '$(cat "$work/answer_pass.json")'; }
    location /fail { return 200 '$(sed "s/'/\\\\'/g" "$work/answer_fail.json")'; }
  }
}
NGINX
  /usr/sbin/nginx -c "$work/nginx$threads/nginx.conf" -e "$work/nginx$threads/error.log" &
  npid=$!
  pids+=("$npid")
  sleep 0.5
  # The peer is one Node.js process (one event loop) at both thread counts.
  WORKERS=1 PORT=0 start node node "$work/peer/server.js"
  purl=$url
  ppid_=$pid
  sleep 0.5
  for kind in pass fail; do
    read -r r p < <(measure "$threads" "http://127.0.0.1:$port/$kind" "$work/$kind.lua")
    rps[nginx,$kind,$threads]=$r; p99[nginx,$kind,$threads]=$p
    read -r r p < <(measure "$threads" "$purl/eval" "$work/$kind.lua")
    rps[node,$kind,$threads]=$r; p99[node,$kind,$threads]=$p
    read -r r p < <(measure "$threads" "$vurl/v1/templates/$id/eval" "$work/$kind.lua")
    rps[verdane,$kind,$threads]=$r; p99[verdane,$kind,$threads]=$p
    for s in nginx node verdane; do
      printf '%-8s %-4s %-7s %12s %10s\n' "$s" "$kind" "$threads" "${rps[$s,$kind,$threads]}" "${p99[$s,$kind,$threads]}"
    done
  done
  stop "$ppid_"
  stop "$npid"
  stop "$vpid"
done

echo
echo "ratios (same run): verdane/nginx floor, verdane/node peer"
for threads in 1 2; do
  for kind in pass fail; do
    awk -v v="${rps[verdane,$kind,$threads]}" -v n="${rps[nginx,$kind,$threads]}" \
        -v p="${rps[node,$kind,$threads]}" -v k="$kind" -v t="$threads" \
        'BEGIN { printf "%-4s threads=%s  %.2fx nginx  %.2fx node\n", k, t, v / n, v / p }'
  done
done

# Resident memory with 1,000 idle keep-alive connections.
start verdane build/verdane serve --store "$work/store" --listen 127.0.0.1:0 --threads 2 --read-only
mpid=$pid
/usr/bin/python3 - "$url" "$mpid" <<'PY'
import http.client, sys, time
url, pid = sys.argv[1], sys.argv[2]
host, port = url.split("//")[1].rsplit(":", 1)
conns = []
for _ in range(1000):
    c = http.client.HTTPConnection(host, int(port), timeout=10)
    c.request("GET", "/health")
    c.getresponse().read()
    conns.append(c)
time.sleep(0.5)
rss = next(l for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS")).split()[1]
print(f"\nverdane RSS with 1000 idle keep-alive connections: {int(rss) / 1024:.1f} MiB")
for c in conns:
    c.close()
PY
stop "$mpid"

log_runs
