#!/bin/sh
# Starts or stops the test session's virtual display and persistent wineserver.
#   wine-session.sh start <state folder>
#   wine-session.sh stop  <state folder>
set -eu
action=$1
wine_state=$2
mkdir -p "$wine_state"
# shellcheck source-path=SCRIPTDIR source=wine-env.sh
. "$(dirname "$0")/wine-env.sh"

start() {
  if [ -s "$wine_state/xvfb.pid" ] && kill -0 "$(cat "$wine_state/xvfb.pid")" 2>/dev/null; then
    :
  else
    rm -f "$wine_state/display"
    # -displayfd picks a free display number and writes it once the server is ready.
    setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
      3>"$wine_state/display.new" </dev/null >"$wine_state/xvfb.log" 2>&1 &
    echo $! >"$wine_state/xvfb.pid"
    tries=0
    while [ ! -s "$wine_state/display.new" ]; do
      tries=$((tries + 1))
      [ $tries -gt 100 ] && { echo "Xvfb did not start; see $wine_state/xvfb.log" >&2; exit 1; }
      sleep 0.1
    done
    tr -d '\n' <"$wine_state/display.new" >"$wine_state/display"
    rm -f "$wine_state/display.new"
  fi
  DISPLAY=":$(cat "$wine_state/display")"
  export DISPLAY
  # One persistent wineserver for the whole session keeps every test start fast.
  setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  "$WINE" wineboot -i </dev/null >"$wine_state/wineboot.log" 2>&1 || true
  # A program that crashes ends at once with a backtrace on its standard error, instead
  # of waiting in the debugger's crash dialog until the test's time-out.
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1 || true
  echo "Wine session ready: prefix $WINEPREFIX, display $DISPLAY"
}

stop() {
  "$WINESERVER" -k 2>/dev/null || true
  if [ -s "$wine_state/xvfb.pid" ]; then
    kill "$(cat "$wine_state/xvfb.pid")" 2>/dev/null || true
    rm -f "$wine_state/xvfb.pid" "$wine_state/display"
  fi
  echo "Wine session stopped"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop <state folder>" >&2; exit 2 ;;
esac
