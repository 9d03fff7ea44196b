#!/usr/bin/env bash
# The X display of the window tests under Wine: a private Xvfb on the first
# free display number, which it reports itself (-displayfd), so parallel
# builds never share or guess one. scripts/wine-run reads the number from
# DIR/display when NORQ_WINE_DISPLAY_FILE names it.
#   xvfb.sh start DIR   starts it (ready when this returns), DIR/display, DIR/pid
#   xvfb.sh stop DIR    ends it
set -euo pipefail
action=$1 dir=$2
mkdir -p "$dir"
case "$action" in
  start)
    [ -s "$dir/pid" ] && kill "$(cat "$dir/pid")" 2>/dev/null || true
    rm -f "$dir/display" "$dir/pid"
    exec 3>"$dir/display.tmp"
    # Its own session, so that it outlives this script (ctest's fixture).
    setsid Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset \
      </dev/null >"$dir/xvfb.log" 2>&1 3>&3 &
    echo $! > "$dir/pid"
    exec 3>&-
    # Xvfb writes the number once it accepts connections; bounded wait.
    for _ in $(seq 100); do [ -s "$dir/display.tmp" ] && break; sleep 0.1; done
    [ -s "$dir/display.tmp" ] || { echo "Xvfb did not start"; cat "$dir/xvfb.log"; exit 1; }
    tr -d '\n' < "$dir/display.tmp" > "$dir/display"
    echo "Xvfb on :$(cat "$dir/display")"
    ;;
  stop)
    [ -s "$dir/pid" ] && kill "$(cat "$dir/pid")" 2>/dev/null || true
    rm -f "$dir/display" "$dir/display.tmp" "$dir/pid"
    ;;
esac
