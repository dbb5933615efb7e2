# Sourced by the benchmark scripts beside it: where the build and its benchmark program are, a
# work folder removed on exit, and the local HTTP server (testing/http_server.py) over it.
#   bench_setup NAME [BUILD_DIR]   sets top, build, exe (BUILD_DIR/bench/NAME.exe), python and work,
#                                  with work/srv made; the default build is build/win
#   bench_start_server [--no-delay] serves work/srv and sets port; --no-delay turns Nagle's
#                                  algorithm off (small answers then wait for no delayed ACK)

bench_setup() {
  top=$(cd "$(dirname "$0")/.." && pwd)
  build=$(cd "${2:-$top/build/win}" && pwd)
  exe="$build/bench/$1.exe"
  [ -f "$exe" ] || { echo "no $exe: build the $1 target first" >&2; exit 2; }
  python=/usr/bin/python3
  [ -x "$python" ] || python=python3
  work="$build/bench/$1_data"
  rm -rf "$work"
  mkdir -p "$work/srv"
  server=
  trap bench_cleanup EXIT
}

bench_cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}

bench_start_server() {
  if [ "${1:-}" = --no-delay ]; then
    (cd "$top/testing" && exec "$python" -c '
import sys, http_server
http_server.Handler.disable_nagle_algorithm = True
sys.argv[0] = "http_server.py"
sys.exit(http_server.main())' --root "$work/srv" --port-file "$work/port" --no-lifeline >/dev/null) &
  else
    "$python" "$top/testing/http_server.py" --root "$work/srv" --port-file "$work/port" --no-lifeline >/dev/null &
  fi
  server=$!
  for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  [ -s "$work/port" ] || { echo "the server did not start" >&2; exit 1; }
  port=$(cut -d' ' -f1 "$work/port")
}
