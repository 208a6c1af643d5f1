#!/usr/bin/env bash
# The window and the log window at a device pixel ratio of 2 (QT_SCALE_FACTOR=2) on a
# 1920x1080 Xvfb screen: both lie within the screen, the window has twice the pixels of the
# one at ratio 1, and its picture matches the one at ratio 1 scaled up (the same layout).
#   xvfb_high_dpi.sh <kelvora-upgrade>
# Exit 77 when Xvfb, xdotool or imagemagick is missing.
set -euo pipefail

tool=$1
for p in Xvfb xdotool import compare; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
# shellcheck source-path=SCRIPTDIR source=tool_run.sh
. "$(dirname "$0")/tool_run.sh"
tool_run_setup 261 290 1920x1080

# Fails unless the window lies within the screen; sets `placed` to its geometry.
within_screen() { # window id, name
  local X Y WIDTH HEIGHT
  # shellcheck disable=SC2034 # SCREEN and WINDOW come with the geometry
  local SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  if [ "$X" -lt 0 ] || [ "$Y" -lt 0 ] || [ $((X + WIDTH)) -gt 1920 ] || [ $((Y + HEIGHT)) -gt 1080 ]; then
    fail "$2 at ${WIDTH}x${HEIGHT}+${X}+${Y} is not within 1920x1080"
  fi
  placed="${WIDTH}x${HEIGHT}+${X}+${Y}"
}

# One run at the given factor: the window with a unit connected, its screenshot, and the log
# window beside it (Ctrl+L).
run() { # factor
  export KELVORA_SIM_STATE_DIR=$work/sim.$1 QT_SCALE_FACTOR=$1
  mkdir -p "$KELVORA_SIM_STATE_DIR"
  start_tool
  wait_for_log "B2: Conn. to (DFU-SE) dev. with diff. FW rev." 60
  sleep 0.5
  within_screen "$wid" "the window at factor $1"
  main=$placed
  echo "factor $1: window $main"
  import -window "$wid" "$work/shot.$1.png"
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  xdotool key --clearmodifiers ctrl+l
  sleep 1
  local id
  for id in $(xdotool search --onlyvisible --class kelvora-upgrade); do
    [ "$id" = "$wid" ] && continue
    within_screen "$id" "the log window at factor $1"
    echo "factor $1: log window $placed"
  done
  [ "$(xdotool search --onlyvisible --class kelvora-upgrade | wc -l)" -ge 2 ] || fail "no log window"
  stop_tool
}

run 1
size1=${main%%+*}
run 2
size2=${main%%+*}
[ "$size2" = "$((${size1%x*} * 2))x$((${size1#*x} * 2))" ] || fail "window $size2 at factor 2, $size1 at factor 1"

# The ratio-1 shot scaled up differs from the ratio-2 shot only in how sharp it is.
convert "$work/shot.1.png" -resize 200% "$work/shot.1x2.png"
# compare exits 1 when the pictures differ at all; the measure is what counts.
error=$(compare -metric RMSE "$work/shot.1x2.png" "$work/shot.2.png" null: 2>&1 || true)
error=${error##*(}
error=${error%)}
awk -v e="$error" 'BEGIN { exit !(e < 0.08) }' || fail "the window at factor 2 differs from the one at 1 scaled (RMSE $error)"
echo "PASS: both windows within the screen at factor 2; RMSE to the scaled factor-1 shot $error"
