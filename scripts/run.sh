#!/usr/bin/env bash
# Builds the launcher and its pipe client when needed, then runs the launcher under Wine in
# run mode, its data in the build tree, until Ctrl+C: then it sends STOP, waits for the
# launcher to end and stops the Wine server and display it used.
#   VAROMET_PIPE             the pipe's name (default \\.\pipe\varomet-run)
#   LAUNCHER_SETUPTRQ_TIMER  seconds after which the launcher stops by itself (default 86400)
# Everything it writes stays in the build folder: build/win/run holds its own Wine prefix
# (so test runs in build/win/wine and this launcher never stop each other), the launcher's
# data and logs, and its console output.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${VAROMET_BUILD_DIR:-$here/build}"
win="$build/win"

[ -d "$win" ] || bash "$here/scripts/install-deps.sh"
if [ ! -f "$win/build.ninja" ]; then
  cmake -G Ninja -S "$here" -B "$win" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$win" --target VarometLauncherGUI pipe_client

win=$(cd "$win" && pwd)
run="$win/run"
wine_root="$run/wine"
data="$run/data"
out="$run/launcher.out"
runner="$here/cmake/wine/winerun.sh"
exe="$win/launcher/server/VarometLauncherGUI.exe"
client="$win/tools/pipe_client.exe"
pipe="${VAROMET_PIPE:-\\\\.\\pipe\\varomet-run}"
mkdir -p "$data"

# One run at a time: a second one would stop the first one's Wine server on its way out.
if [ -s "$run/run.pid" ]; then
  other=$(cat "$run/run.pid")
  if kill -0 "$other" 2>/dev/null && grep -q run.sh "/proc/$other/cmdline" 2>/dev/null; then
    echo "scripts/run.sh already runs (pid $other) in $run: stop it first." >&2
    exit 1
  fi
fi
echo $$ >"$run/run.pid"

pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  "$runner" --root "$wine_root" --stop || true
  rm -f "$run/run.pid"
}
trap cleanup EXIT
stop_requested=0
trap 'stop_requested=1' INT TERM

# The test start context: the launcher's data and logs go below this Windows path (Z: is /).
export WEX_TRQ_TMP="Z:${data//\//\\}"
# In that context a watchdog stops the launcher after 300 s unless told otherwise.
export LAUNCHER_SETUPTRQ_TIMER="${LAUNCHER_SETUPTRQ_TIMER:-86400}"

[ -f "$wine_root/ready.v3" ] || echo "Preparing a Wine prefix in $wine_root (once, some seconds)..."
"$runner" --root "$wine_root" --setup
[ "$stop_requested" = 0 ] || exit 130

# Its own session: Ctrl+C reaches this script alone, which stops the launcher through its pipe.
: >"$out"
setsid -w "$runner" --root "$wine_root" "$exe" run "$pipe" </dev/null >"$out" 2>&1 &
pid=$!

for _ in $(seq 1 300); do
  grep -q 'Waiting for a client to connect' "$out" && break
  kill -0 "$pid" 2>/dev/null || break
  [ "$stop_requested" = 0 ] || break
  sleep 0.1
done
if ! kill -0 "$pid" 2>/dev/null; then
  rc=0
  wait "$pid" || rc=$?
  echo "The launcher ended at once (exit code $rc); its output ($out) ends with:" >&2
  tail -n 20 "$out" >&2
  exit "$rc"
fi

request='{"op": "postStatus", "args": {"wnd": "VarometLauncher Backbone", "label": "0", "wparam": "0", "lparam": "0"}}'
cat <<EOF
The launcher is running under Wine, in run mode.
  pipe:     $pipe
  request:  $(printf '%q' "$runner") --root $(printf '%q' "$wine_root") $(printf '%q' "$client") '$pipe' '$request'
  logs:     $data/LauncherData/Korrintek/VarometLauncher/logs
  output:   $out
Ctrl+C stops it.
EOF

rc=0
while [ "$stop_requested" = 0 ]; do
  # A trapped signal ends the wait early, the launcher still running.
  rc=0
  wait "$pid" || rc=$?
  kill -0 "$pid" 2>/dev/null || break
done

if kill -0 "$pid" 2>/dev/null; then
  echo
  echo "Stopping: sending STOP to $pipe"
  "$runner" --root "$wine_root" "$client" "$pipe" STOP >/dev/null || echo "STOP could not be sent" >&2
  for _ in $(seq 1 200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "The launcher did not end within 20 s: ending it." >&2
    "$runner" --root "$wine_root" --stop || true
    kill "$pid" 2>/dev/null || true
  fi
  rc=0
  wait "$pid" || rc=$?
else
  echo "The launcher ended by itself."
fi
echo "The launcher exited with code $rc."
exit "$rc"
