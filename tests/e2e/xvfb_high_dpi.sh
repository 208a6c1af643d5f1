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

work=$(mktemp -d)
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
mkdir -p "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM LANGUAGE LC_ALL LC_MESSAGES QT_AUTO_SCREEN_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
export LANG=C.UTF-8
log=""

xvfb_pid=""
tool_pid=""
cleanup() {
  if [ -n "$tool_pid" ]; then kill "$tool_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source-path=SCRIPTDIR source=../../scripts/xvfb.sh
. "$(dirname "$0")/../../scripts/xvfb.sh"
start_xvfb 261 290 1920x1080 || { echo "FAIL: could not start Xvfb"; exit 1; }

fail() {
  echo "FAIL: $*"
  [ -z "$log" ] || tail -n 30 "$log"
  exit 1
}

wait_for_log() { # text, seconds
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$1" "$log"; do
    [ $SECONDS -lt $deadline ] || fail "no '$1' within $2 s"
    kill -0 "$tool_pid" 2>/dev/null || fail "the tool ended early"
    sleep 0.2
  done
}

# Fails unless the window lies within the 1920x1080 screen; sets `placed` to its geometry.
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
  log=$work/tool.$1.log
  export KELVORA_SIM_STATE_DIR=$work/sim.$1
  mkdir -p "$KELVORA_SIM_STATE_DIR"
  QT_SCALE_FACTOR=$1 "$tool" -s -l >"$log" 2>&1 &
  tool_pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1) \
    || fail "no window"
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
  kill "$tool_pid"
  wait "$tool_pid" 2>/dev/null || true
  tool_pid=""
}

run 1
size1=${main%%+*}
run 2
size2=${main%%+*}
[ "$size2" = "$((${size1%x*} * 2))x$((${size1#*x} * 2))" ] || fail "window $size2 at factor 2, $size1 at factor 1"

# The same picture: the ratio-1 shot scaled up differs from the ratio-2 shot only in how
# sharp it is (the status texts differ where the simulated unit's state differs: none here).
convert "$work/shot.1.png" -resize 200% "$work/shot.1x2.png"
# compare exits 1 when the pictures differ at all; the measure is what counts.
error=$(compare -metric RMSE "$work/shot.1x2.png" "$work/shot.2.png" null: 2>&1 || true)
error=${error##*(}
error=${error%)}
awk -v e="$error" 'BEGIN { exit !(e < 0.08) }' || fail "the window at factor 2 differs from the one at 1 scaled (RMSE $error)"
echo "PASS: both windows within the screen at factor 2; RMSE to the scaled factor-1 shot $error"
