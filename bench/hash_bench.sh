#!/usr/bin/env bash
# MD5 over one file: the launcher's ComputeHash under Wine beside md5sum, in the same run.
#   bench/hash_bench.sh [BUILD_DIR [MB]]    defaults: build/win, 512 (MB = 2^20 bytes)
# Builds nothing: hash_bench.exe must already be built in BUILD_DIR.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build/win}" && pwd)
mb=${2:-512}
exe="$build/bench/hash_bench.exe"
[ -f "$exe" ] || { echo "no $exe: build the hash_bench target first" >&2; exit 2; }

data="$build/bench/hash_bench_data.bin"
trap 'rm -f "$data"' EXIT
head -c $((mb * 1048576)) /dev/urandom >"$data"

windows=$("$top/cmake/wine/winerun.sh" --root "$build/wine" "$exe" "Z:${data//\//\\}" | tr -d '\r')
echo "$windows"
start=$(date +%s.%N)
sum=$(md5sum "$data" | cut -d' ' -f1)
end=$(date +%s.%N)
linux=$(awk -v mb="$mb" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", mb / (e - s) }')
echo "md5sum      md5 $sum: $mb MB: $linux MB/s"

win=$(sed -n 's/.*: \([0-9.]*\) MB\/s$/\1/p' <<<"$windows")
case "$windows" in *"md5 $sum:"*) ;; *) echo "the digests differ" >&2; exit 1 ;; esac
awk -v w="$win" -v l="$linux" 'BEGIN { printf "ComputeHash / md5sum: %.2f\n", w / l }'
