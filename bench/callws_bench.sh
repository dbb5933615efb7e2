#!/usr/bin/env bash
# "CallWS" latency through the launcher in run mode (LOGLEVEL info) against one local HTTP server
# (testing/http_server.py): 200 GETs without a ticket, 200 with a ticket whose authentication
# service is cached, 200 "checkFile" requests to the same launcher, and 200 curl GETs of the same
# URL, in the same run. Medians; then rounds of 16 ticketed calls sent at once, each with its own.
#   bench/callws_bench.sh [BUILD_DIR]    default: build/win
# Builds nothing: callws_bench.exe must already be built in BUILD_DIR.
set -eu
. "$(dirname "$0")/bench_common.sh"
bench_setup callws_bench "${1:-}"
# The ticket's cookie URL lies where the CAS session check answers 404: the ticket is planted.
mkdir -p "$work/srv/status=404/ws"
echo '{"answer": "from the web service"}' >"$work/srv/ws.json"
cp "$work/srv/ws.json" "$work/srv/status=404/ws/ws.json"

bench_start_server
base="http://127.0.0.1:$port"
url="$base/ws.json"
ticket_url="$base/status=404/ws/ws.json?header=X-QX-IAM-VERSION:%201"

"$top/cmake/wine/winerun.sh" --root "$build/wine" "$exe" "$url" "$ticket_url" | tr -d '\r' | tee "$work/ours.txt"
noauth=$(sed -n 's/^CallWS noAuth median \([0-9.]*\) ms$/\1/p' "$work/ours.txt")
for _ in $(seq 1 200); do curl -s -o /dev/null -w '%{time_total}\n' "$url"; done | sort -n >"$work/curl.txt"
curl_ms=$(awk '{ t[NR] = $1 } END { printf "%.3f", t[int(NR / 2) + 1] * 1000 }' "$work/curl.txt")
echo "curl median $curl_ms ms"
awk -v o="$noauth" -v c="$curl_ms" 'BEGIN { if (c > 0) printf "CallWS noAuth / curl: %.2f\n", o / c }'
