#!/usr/bin/env bash
# Download throughput from one local HTTP server (testing/http_server.py): the launcher's
# Utils::DownloadMedia under Wine (MD5 included) beside curl -o of the same file, in the same run.
#   bench/download_bench.sh [BUILD_DIR [MB [ROUNDS]]]    defaults: build/win, 200, 3 (best round counts)
# Builds nothing: download_bench.exe must already be built in BUILD_DIR.
set -eu
. "$(dirname "$0")/bench_common.sh"
bench_setup download_bench "${1:-}"
mb=${2:-200}
rounds=${3:-3}
head -c $((mb * 1048576)) /dev/urandom >"$work/srv/media.bin"
sum=$(md5sum "$work/srv/media.bin" | cut -d' ' -f1)

bench_start_server
url="http://127.0.0.1:$port/media.bin"

best_ours=0 best_raw=0 best_curl=0
for round in $(seq 1 "$rounds"); do
  line=$("$top/cmake/wine/winerun.sh" --root "$build/wine" "$exe" "$url" "$sum" $((mb * 1048576)) \
         "Z:${work//\//\\}\\out.bin" | tr -d '\r')
  echo "$line" | sed "s/^/round $round: /"
  ours=$(sed -n 's/^DownloadMedia.*: \([0-9.]*\) MB\/s$/\1/p' <<<"$line")
  raw=$(sed -n 's/^WinINet.*: \([0-9.]*\) MB\/s$/\1/p' <<<"$line")
  seconds=$(curl -s -o "$work/curl.bin" -w '%{time_total}' "$url")
  got=$(md5sum "$work/curl.bin" | cut -d' ' -f1)
  rm -f "$work/curl.bin"
  [ "$got" = "$sum" ] || { echo "curl got another file" >&2; exit 1; }
  theirs=$(awk -v mb="$mb" -v s="$seconds" 'BEGIN { printf "%.1f", mb / s }')
  echo "round $round: curl -o: $mb MB in $seconds s: $theirs MB/s"
  best_ours=$(awk -v a="$best_ours" -v b="$ours" 'BEGIN { print (b > a ? b : a) }')
  best_raw=$(awk -v a="$best_raw" -v b="${raw:-0}" 'BEGIN { print (b > a ? b : a) }')
  best_curl=$(awk -v a="$best_curl" -v b="$theirs" 'BEGIN { print (b > a ? b : a) }')
done
echo "best: DownloadMedia $best_ours MB/s, WinINet reads alone $best_raw MB/s, curl -o $best_curl MB/s"
awk -v w="$best_ours" -v r="$best_raw" -v c="$best_curl" 'BEGIN {
  printf "DownloadMedia / curl: %.2f (goal >= 0.5); WinINet reads alone / curl: %.2f\n", w / c, r / c }'
