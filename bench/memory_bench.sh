#!/usr/bin/env bash
# Memory kept per call (memory_bench.exe) against one local HTTP server (testing/http_server.py):
# "CallWS" without a ticket, with one and with one whose authentication service is resolved, the
# WinINet driver alone and a 64 KiB media download, beside bare WinINet GETs of the same URLs with
# the same request flags, in the same run; on one URL, then on a new URL per call.
#   bench/memory_bench.sh [BUILD_DIR [COUNT]]    defaults: build/win, 200 (calls a figure)
# Builds nothing: memory_bench.exe must already be built in BUILD_DIR.
set -eu
. "$(dirname "$0")/bench_common.sh"
bench_setup memory_bench "${1:-}"
count=${2:-200}
echo '{"answer": "from the web service"}' >"$work/srv/ws.json"
head -c 65536 /dev/urandom >"$work/srv/media.bin"
md5=$(md5sum "$work/srv/media.bin" | cut -d' ' -f1)
bench_start_server
base="http://127.0.0.1:$port"
# The ticket's cookie URL lies where the CAS session check answers 404: the ticket is planted. The
# web service's answer says it is the identity service: a resolution ends on its first request.
"$top/cmake/wine/winerun.sh" --root "$build/wine" "$exe" "$base/ws.json?header=X-QX-IAM-VERSION%3A%201" \
  "$base/status=404/" "$base/media.bin?from=bench" "$md5" 65536 "Z:${work//\//\\}\\out.bin" "$count" | tr -d '\r'
