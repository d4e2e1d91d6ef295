#!/usr/bin/env bash
# The Wine test bench: one fresh 32-bit prefix, one Xvfb display and one
# persistent wineserver per test run, stopped by process ID whatever happens.
#
#   winebench.sh start        make the prefix, start Xvfb and the wineserver
#   winebench.sh start win64  the same with a 64-bit prefix (a second bench,
#                             in its own WINEBENCH_DIR)
#   winebench.sh exec CMD...  run CMD inside the bench's environment
#   winebench.sh dpi N        set the screen's DPI (LogPixels) and restart the
#                             wineserver, which reads it when it starts
#   winebench.sh stop         stop what start started (safe to call twice)
#
# WINEBENCH_DIR names the bench's folder (prefix, process IDs, environment).
set -euo pipefail

dir=${WINEBENCH_DIR:?WINEBENCH_DIR must name the bench folder}
envfile=$dir/env.sh

stop_bench() {
  if [[ -f $envfile ]]; then
    # shellcheck disable=SC1090
    ( source "$envfile"; timeout 20 wineserver -k >/dev/null 2>&1 || true )
  fi
  for name in wineserver xvfb; do
    local pidfile=$dir/$name.pid
    [[ -f $pidfile ]] || continue
    local pid
    pid=$(<"$pidfile")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
  done
}

# The persistent server, and the prefix's services and desktop started once
# with output going nowhere: a desktop started from a test would inherit that
# test's pipes.
start_server() {
  wineserver -f -p >"$dir/wineserver.log" 2>&1 &
  echo $! >"$dir/wineserver.pid"
  wine cmd /c exit 0 >/dev/null 2>&1 </dev/null
}

set_dpi() {
  # shellcheck disable=SC1090
  source "$envfile"
  local key
  for key in 'HKCU\Control Panel\Desktop' \
      'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts'; do
    wine reg add "$key" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  done
  # -k writes the registry out before the server ends.
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  local pid
  pid=$(<"$dir/wineserver.pid")
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid"; fi
  start_server
}

free_display() {
  local n
  for n in $(seq 90 299); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] || { echo "$n"; return; }
  done
  echo "winebench: no free X display" >&2
  exit 1
}

start_bench() {
  # With 64-bit Wine installed the launcher takes the 64-bit wineserver for
  # every prefix: the prefix's kind is always named.
  local arch=${1:-win32}
  [[ $arch == win32 || $arch == win64 ]] || { echo "winebench: no such bench: $arch" >&2; exit 2; }
  stop_bench
  rm -rf "$dir"
  mkdir -p "$dir"

  local display
  display=$(free_display)
  Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X$display ]] && break; sleep 0.05; done

  cat >"$envfile" <<ENV
export WINEPREFIX='$dir/prefix'
export WINEARCH=$arch
export WINEDEBUG=-all
export WINEDLLOVERRIDES='winemenubuilder.exe=d'
export DISPLAY=':$display'
ENV
  # shellcheck disable=SC1090
  source "$envfile"

  wineboot -i >"$dir/wineboot.log" 2>&1
  # Settings that must be in place before the server used by the tests starts:
  # no Linux menu entries, no crash dialog (a crash exits with 5), a virtual
  # desktop (captions drawn, message boxes close at once, exit codes kept).
  cat >"$dir/bench.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\DllOverrides]
"winemenubuilder.exe"=""

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"
REG
  wine regedit /S "$(winepath -w "$dir/bench.reg")" >/dev/null 2>&1
  # Without the TrueType fonts caption buttons render as stray letters.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  # The user's folders are links into $HOME: make them real, so that nothing a
  # test does lands outside the prefix.
  local user
  for user in "$WINEPREFIX"/drive_c/users/*/; do
    local f
    for f in Desktop Documents Downloads Music Pictures Videos; do
      if [[ -L $user$f ]]; then rm "$user$f"; mkdir "$user$f"; fi
    done
  done
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true

  start_server
  mkdir -p "${ARTIFACTS:-$dir/artifacts}"
  echo "winebench: prefix $WINEPREFIX, display :$display"
}

case ${1:-} in
  start) start_bench "${2:-}" ;;
  stop) stop_bench ;;
  dpi) set_dpi "${2:?dpi N}" ;;
  exec)
    shift
    # shellcheck disable=SC1090
    source "$envfile"
    exec "$@"
    ;;
  *)
    echo "usage: $0 start [win64]|stop|dpi N|exec CMD..." >&2
    exit 2
    ;;
esac
