#!/usr/bin/env bash
# Drives the real executable in simulator mode under Xvfb as a person would: waits for the
# unit, clicks the install button, waits for "Done", toggles the log window, presses Q, and
# ends the run. Saves screenshots of the connected, upgrading and done stages.
#   xvfb_upgrade.sh <kelvora-upgrade> <screenshot folder>
# Exit 77 when Xvfb or xdotool is missing (the test is then skipped).
set -euo pipefail

tool=$1
shots=$2
for p in Xvfb xdotool import; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
mkdir -p "$shots"

work=$(mktemp -d)
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
# Qt keeps a runtime folder under the temporary directory when the session names none;
# give it one elsewhere so the check below sees only what the tool itself leaves.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The upgrade it clicks goes into a record of its own, not the user's.
export XDG_DATA_HOME=$work/data
log=$work/tool.log
unset KELVORA_SIM_STATE_DIR QT_QPA_PLATFORM

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
start_xvfb 90 120 || { echo "FAIL: could not start Xvfb"; exit 1; }

fail() {
  echo "FAIL: $*"
  echo "---- tool output ----"
  tail -n 60 "$log"
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

shot() { # name
  local geometry
  geometry=$(xdotool getwindowgeometry --shell "$wid")
  eval "$geometry"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$1.png"
  echo "screenshot $shots/$1.png"
}

"$tool" -s -l >"$log" 2>&1 &
tool_pid=$!

wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1) \
  || fail "no window"
wait_for_log "B2: Conn. to (DFU-SE) dev. with diff. FW rev." 60
sleep 0.5
shot connected

# Click the middle of the install button (window coordinates at scale 1).
xdotool mousemove --window "$wid" 332 437 click 1
wait_for_log "B3: Upgrading FW" 10
sleep 3
shot upgrading

wait_for_log "B6: FW in dev. matches" 120
sleep 0.5
shot "done"

# Ctrl+L shows the log window beside the main window.
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key --clearmodifiers ctrl+l
sleep 1
xdotool search --onlyvisible --class kelvora-upgrade >/dev/null
shot_count=$(xdotool search --onlyvisible --class kelvora-upgrade | wc -l)
[ "$shot_count" -ge 2 ] || fail "Ctrl+L did not show the log window"

# Q stops both machines and leaves the window open.
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key q
wait_for_log "Trying to stop sm_A" 10
xdotool search --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" >/dev/null || fail "window closed by Q"

kill -TERM "$tool_pid"
status=0
wait "$tool_pid" || status=$?
tool_pid=""
[ "$status" -eq 143 ] || fail "exit status $status, expected 143"
grep -qF "app.exec() returns: 143" "$log" || fail "no shut-down message"
left=$(find "$TMPDIR" -mindepth 1 | wc -l)
[ "$left" -eq 0 ] || fail "left behind in the temporary directory: $(ls -A "$TMPDIR")"
echo "PASS: upgraded under Xvfb, screenshots in $shots"
