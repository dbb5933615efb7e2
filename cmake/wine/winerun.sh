#!/usr/bin/env bash
# Runs a Windows program under the build tree's private Wine prefix.
#   winerun.sh --root DIR --setup        create the prefix, display and server (idempotent)
#   winerun.sh --root DIR --stop         stop the server and display (kept with VAROMET_KEEP_WINE=1)
#   winerun.sh --root DIR PROGRAM ARGS   run PROGRAM; its exit code is ours
# Nothing is written outside DIR: shell folders are real folders, XDG state stays here.
set -eu

if [ "${1:-}" != "--root" ] || [ -z "${2:-}" ]; then
  echo "usage: winerun.sh --root DIR (--setup | --stop | PROGRAM [ARGS...])" >&2
  exit 2
fi
root=$(mkdir -p "$2" && cd "$2" && pwd)
shift 2

# This Wine has no preloader to keep low addresses free, and address randomisation now and then
# puts the loader's heap where Wine maps the shared user data (0x7ffe0000): the program then ends
# at start with status 1 ("failed to map the shared user data", silenced by WINEDEBUG), or a
# CreateProcess fails with 1359. Everything started from here runs at fixed addresses.
personality=$(cat /proc/$$/personality 2>/dev/null) || personality=0
if [ $(( 0x${personality:-0} & 0x40000 )) = 0 ] && setarch "$(uname -m)" -R true 2>/dev/null; then
  exec setarch "$(uname -m)" -R "$0" --root "$root" "$@"
fi

export WINEPREFIX="$root/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
export LANG=C.UTF-8
unset LC_ALL LC_CTYPE LC_MESSAGES
export TZ="${VAROMET_WINE_TZ:-UTC}"
export XDG_CONFIG_HOME="$root/xdg/config" XDG_DATA_HOME="$root/xdg/data" XDG_CACHE_HOME="$root/xdg/cache"
unset WINESERVER WINELOADER

log="$root/wine.log"

alive() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

make_prefix() {
  # A server still running for an older prefix would keep serving its deleted files.
  [ -d "$WINEPREFIX" ] && wineserver -k 9>&- 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$root/ready.v3"
  # The null driver: creating the prefix needs no display.
  DISPLAY= wineboot -i >>"$log" 2>&1 9>&-
  # A crash ends the process at once instead of waiting in the debugger until a time-out.
  local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  DISPLAY= wine reg add "$aedebug" /v Debugger /t REG_SZ /d '' /f >>"$log" 2>&1 9>&-
  DISPLAY= wine reg add "$aedebug" /v Auto /t REG_SZ /d 1 /f >>"$log" 2>&1 9>&-
  # No window manager runs on the Xvfb display: hiding a managed window (a message box as it
  # closes) would wait 2 s for one to answer.
  DISPLAY= wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >>"$log" 2>&1 9>&-
  wineserver -w 9>&- || true
  # A new prefix links Desktop, Documents, ... to the real home folder.
  local users="$WINEPREFIX/drive_c/users" d
  for d in "$users"/*/*; do
    if [ -L "$d" ]; then rm -f "$d"; mkdir -p "$d"; fi
  done
  touch "$root/ready.v3"
}

start_display() {
  alive "$root/xvfb.pid" && [ -s "$root/display" ] && return 0
  rm -f "$root/display" "$root/display.tmp"
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
    3>"$root/display.tmp" </dev/null >>"$log" 2>&1 9>&- &
  echo $! >"$root/xvfb.pid"
  local i
  for i in $(seq 1 100); do
    [ -s "$root/display.tmp" ] && break
    sleep 0.1
  done
  [ -s "$root/display.tmp" ] || { echo "winerun: Xvfb did not start (see $log)" >&2; return 1; }
  echo ":$(tr -dc '0-9' <"$root/display.tmp")" >"$root/display"
}

start_server() {
  # Debian's wineserver exits with the last process; a persistent one keeps starts warm.
  # A second one for the same prefix finds the first and leaves at once (status 2).
  local rc=0
  setsid wineserver -p60 </dev/null >>"$log" 2>&1 9>&- || rc=$?
  [ "$rc" = 0 ] || return 0
  # Boot the prefix's services now, with no inherited output: started by a test, they
  # would hold its output pipe open (and ctest waiting) for as long as the server lives.
  DISPLAY="$(cat "$root/display")" setsid wine wineboot.exe </dev/null >>"$log" 2>&1 9>&- || true
  # The same for the desktop process: the first program to make a window would start it with
  # that program's output, and it would close and start again between windowed programs.
  DISPLAY="$(cat "$root/display")" setsid wine explorer.exe /desktop </dev/null >>"$log" 2>&1 9>&- &
}

ensure() {
  exec 9>"$root/lock"
  flock 9
  [ -f "$root/ready.v3" ] || make_prefix
  start_display
  start_server
  flock -u 9
  exec 9>&-
}

case "${1:-}" in
  --setup)
    ensure
    exit 0 ;;
  --stop)
    [ "${VAROMET_KEEP_WINE:-0}" = 1 ] && exit 0
    exec 9>"$root/lock"
    flock 9
    [ -d "$WINEPREFIX" ] && wineserver -k 9>&- 2>/dev/null || true
    if alive "$root/xvfb.pid"; then kill "$(cat "$root/xvfb.pid")" 2>/dev/null || true; fi
    rm -f "$root/xvfb.pid" "$root/display" "$root/display.tmp"
    exit 0 ;;
  "")
    echo "winerun: no program" >&2
    exit 2 ;;
esac

ensure
export DISPLAY="$(cat "$root/display")"
# Not exec'd: a run that ends in failure names its status, which is all there is to see when
# the program never got to print (a crash at start, a loader error hidden by WINEDEBUG).
started=$(date +%s%N)
rc=0
wine "$@" || rc=$?
if [ "$rc" != 0 ]; then
  echo "winerun: $(basename "$1") ended with status $rc after $(( ($(date +%s%N) - started) / 1000000 )) ms" >&2
fi
exit "$rc"
