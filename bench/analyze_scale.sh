#!/usr/bin/env bash
# Whole-process time of `verdane analyze` over generated templates of n
# constraints, each
#   intent.a + <i> <= evidence.lim * 2 or intent.s in {"x<i>", "y<i>"} or intent.b > <i>
# Usage: bench/analyze_scale.sh BUILD_DIR [TIMEOUT_SECONDS] [N...]
# (default: timeout 10, n = 10 20 100). Prints per n the wall seconds, the
# peak memory and a digest of the lines, which must not differ between
# builds that are meant to answer alike. An extra build to compare against
# in the same run: BASE=<other build dir>.
set -euo pipefail
build=$1
timeout=${2:-10}
shift $(($# >= 2 ? 2 : $#))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10 20 100)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

policy() {
  local n=$1
  printf 'name gen%s\nintent {\n a: int\n b: int\n s: string\n}\nevidence {\n lim: int\n}\nrequires {\n' "$n"
  for ((i = 0; i < n; i++)); do
    printf '  intent.a + %d <= evidence.lim * 2 or intent.s in {"x%d", "y%d"} or intent.b > %d%s\n' \
      "$i" "$i" "$i" "$i" "$([ $((i + 1)) -lt "$n" ] && echo ';')"
  done
  printf '}\n'
}

run() {
  local label=$1 dir=$2 n=$3
  /usr/bin/time -f '%e %M' -o "$work/time" "$dir/verdane" analyze "$work/g$n.bin" \
    --timeout "$timeout" >"$work/out" || true
  read -r secs kb <"$work/time"
  printf '%-6s n=%-4s %8ss %7s MB  lines=%s unknown=%s digest=%s\n' "$label" "$n" "$secs" \
    $((kb / 1024)) "$(wc -l <"$work/out")" "$(grep -c ': unknown' "$work/out" || true)" \
    "$(md5sum <"$work/out" | cut -c1-8)"
}

for n in "${sizes[@]}"; do
  policy "$n" >"$work/g$n.policy"
  "$build/verdane" compile "$work/g$n.policy" --out "$work/g$n.bin" >/dev/null
  [ -z "${BASE:-}" ] || run base "$BASE" "$n"
  run new "$build" "$n"
done
