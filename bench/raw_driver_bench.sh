#!/usr/bin/env bash
# The raw-socket HTTP driver beside the WinINet driver and curl, same run, same local server
# (testing/http_server.py, raw answers: prepared bytes written in large blocks): a body of MB
# megabytes in 100-byte chunks, and the same body read until the server closes.
#   bench/raw_driver_bench.sh [BUILD_DIR [MB [ROUNDS]]]    defaults: build/win, 50, 3 (best round counts)
# Builds nothing: raw_driver_bench.exe must already be built in BUILD_DIR.
set -eu
. "$(dirname "$0")/bench_common.sh"
bench_setup raw_driver_bench "${1:-}"
mb=${2:-50}
rounds=${3:-3}
bytes=$((mb * 1000000))
"$python" - "$work/srv" "$bytes" <<'PY'
import sys
folder, size = sys.argv[1], int(sys.argv[2])
body = (b"0123456789abcdefghijklmnopqrstuvwxyz" * (size // 36 + 1))[:size]
chunks = b"".join(b"64\r\n" + body[at:at + 100] + b"\r\n" for at in range(0, size, 100))
with open(folder + "/chunked.raw", "wb") as out:
    out.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks + b"0\r\n\r\n")
with open(folder + "/close.raw", "wb") as out:
    out.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body)
PY
[ $((bytes % 100)) -eq 0 ] || { echo "MB must make whole 100-byte chunks" >&2; exit 2; }

bench_start_server
base="http://127.0.0.1:$port/raw"

"$top/cmake/wine/winerun.sh" --root "$build/wine" "$exe" "$base/chunked.raw" "$base/close.raw" "$bytes" "$rounds" \
  | tr -d '\r' | tee "$work/out.txt"
for name in chunked close; do
  best=1000000
  for _ in $(seq 1 "$rounds"); do
    s=$(curl -s -o /dev/null -w '%{time_total}' "$base/$name.raw")
    best=$(awk -v a="$best" -v b="$s" 'BEGIN { print (b < a ? b : a) }')
  done
  label=$([ "$name" = close ] && echo "until close" || echo chunked)
  awk -v mb="$mb" -v s="$best" -v n="$label" 'BEGIN { printf "curl %s: %.1f MB in %.3f s: %.1f MB/s\n", n, mb, s, mb / s }' \
    | tee -a "$work/out.txt"
done
awk '/MB\/s$/ { rate[$1 " " $2 ($3 == "close:" ? " close" : "")] = $(NF - 1) }
     END {
       printf "raw / WinINet: chunked %.2f, until close %.2f (goal >= 1)\n",
              rate["raw chunked:"] / rate["wininet chunked:"], rate["raw until close"] / rate["wininet until close"]
     }' "$work/out.txt"
