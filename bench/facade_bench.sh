#!/usr/bin/env bash
# Keep-alive GETs of one small file from one local HTTP server (testing/http_server.py): the HTTP
# facade under Wine beside bare WinINet calls (facade_bench.exe), then one curl run over the same
# URLs, in the same run. facade_bench.exe also times the WinINet driver alone, to tell the
# facade's own cost from the driver's.
#   bench/facade_bench.sh [BUILD_DIR [COUNT [ROUNDS]]]    defaults: build/win, 1000, 3 (best round counts)
# Builds nothing: facade_bench.exe must already be built in BUILD_DIR.
set -euo pipefail
. "$(dirname "$0")/bench_common.sh"
bench_setup facade_bench "${1:-}"
count=${2:-1000}
rounds=${3:-3}
head -c 1024 /dev/urandom >"$work/srv/small.bin"

# The server's head and body go out as two writes: with Nagle's algorithm on, each small answer
# waits for a delayed ACK (about 40 ms) and every client would measure that wait alone.
bench_start_server --no-delay
url="http://127.0.0.1:$port/small.bin"
# One curl process for every URL: it keeps its connection alive between them.
for _ in $(seq 1 "$count"); do echo "url = \"$url\""; echo "output = \"/dev/null\""; done >"$work/curl.conf"

best_facade= best_raw= best_state= best_curl=
for round in $(seq 1 "$rounds"); do
  lines=$("$top/cmake/wine/winerun.sh" --root "$build/wine" "$exe" "$url" "$count" | tr -d '\r')
  echo "$lines" | sed "s/^/round $round: /"
  facade=$(sed -n 's/^facade: .*: \([0-9.]*\) us per GET$/\1/p' <<<"$lines")
  raw=$(sed -n 's/^WinINet: .*: \([0-9.]*\) us per GET$/\1/p' <<<"$lines")
  state=$(sed -n 's/^WinINet + InternetGetConnectedState: .*: \([0-9.]*\) us per GET$/\1/p' <<<"$lines")
  start=$(date +%s.%N)
  curl -s -K "$work/curl.conf"
  end=$(date +%s.%N)
  theirs=$(awk -v s="$start" -v e="$end" -v n="$count" 'BEGIN { printf "%.1f", (e - s) * 1e6 / n }')
  echo "round $round: curl: $count GETs in one run: $theirs us per GET"
  # A line missing from the output would otherwise count as a best of nothing.
  for figure in facade raw state theirs; do
    [ -n "${!figure}" ] || { echo "round $round: no $figure figure in the output" >&2; exit 1; }
  done
  best_facade=$(awk -v a="${best_facade:-1e99}" -v b="$facade" 'BEGIN { print (b < a ? b : a) }')
  best_raw=$(awk -v a="${best_raw:-1e99}" -v b="$raw" 'BEGIN { print (b < a ? b : a) }')
  best_state=$(awk -v a="${best_state:-1e99}" -v b="$state" 'BEGIN { print (b < a ? b : a) }')
  best_curl=$(awk -v a="${best_curl:-1e99}" -v b="$theirs" 'BEGIN { print (b < a ? b : a) }')
done
echo "best: facade $best_facade us, bare WinINet $best_raw us (with the connection-state query $best_state us)," \
  "curl $best_curl us per GET"
awk -v f="$best_facade" -v r="$best_raw" -v s="$best_state" -v c="$best_curl" 'BEGIN {
  printf "facade / bare WinINet: %.2f (goal <= 1.5); facade / bare WinINet with the query: %.2f; facade / curl: %.2f\n",
    f / r, f / s, f / c }'
