#!/usr/bin/env bash
# "CallWS" latency through the launcher in run mode (LOGLEVEL info) against one local HTTP server
# (testing/http_server.py): 200 GETs without a ticket, 200 with a ticket whose authentication
# service is cached, 200 "checkFile" requests to the same launcher, and 200 curl GETs of the same
# URL, in the same run. Medians.
#   bench/callws_bench.sh [BUILD_DIR]    default: build/win
# Builds nothing: callws_bench.exe must already be built in BUILD_DIR.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/win}" && pwd)
exe="$build/bench/callws_bench.exe"
[ -f "$exe" ] || { echo "no $exe: build the callws_bench target first" >&2; exit 2; }
python=/usr/bin/python3
[ -x "$python" ] || python=python3

work="$build/bench/callws_bench_data"
rm -rf "$work"
# The ticket's cookie URL lies where the CAS session check answers 404: the ticket is planted.
mkdir -p "$work/srv/status=404/ws"
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
echo '{"answer": "from the web service"}' >"$work/srv/ws.json"
cp "$work/srv/ws.json" "$work/srv/status=404/ws/ws.json"

"$python" "$top/testing/http_server.py" --root "$work/srv" --port-file "$work/port" --no-lifeline >/dev/null &
server=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "the server did not start" >&2; exit 1; }
base="http://127.0.0.1:$(cut -d' ' -f1 "$work/port")"
url="$base/ws.json"
ticket_url="$base/status=404/ws/ws.json?header=X-QX-IAM-VERSION:%201"

"$top/cmake/wine/winerun.sh" --root "$build/wine" "$exe" "$url" "$ticket_url" | tr -d '\r' | tee "$work/ours.txt"
noauth=$(sed -n 's/^CallWS noAuth median \([0-9.]*\) ms$/\1/p' "$work/ours.txt")
for _ in $(seq 1 200); do curl -s -o /dev/null -w '%{time_total}\n' "$url"; done | sort -n >"$work/curl.txt"
curl_ms=$(awk '{ t[NR] = $1 } END { printf "%.3f", t[int(NR / 2) + 1] * 1000 }' "$work/curl.txt")
echo "curl median $curl_ms ms"
awk -v o="$noauth" -v c="$curl_ms" 'BEGIN { if (c > 0) printf "CallWS noAuth / curl: %.2f\n", o / c }'
