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

# Everything the run leaves in its temporary folder is checked at the end; the upgrade it
# clicks goes into a record of its own.
# shellcheck source-path=SCRIPTDIR source=tool_run.sh
. "$(dirname "$0")/tool_run.sh"
tool_run_setup 90 120

shot() { # name
  local geometry
  geometry=$(xdotool getwindowgeometry --shell "$wid")
  eval "$geometry"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$1.png"
  echo "screenshot $shots/$1.png"
}

start_tool
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
[ "$status" -eq 143 ] || fail "exit status $status, expected 143"
grep -qF "app.exec() returns: 143" "$log" || fail "no shut-down message"
left=$(find "$TMPDIR" -mindepth 1 | wc -l)
[ "$left" -eq 0 ] || fail "left behind in the temporary directory: $(ls -A "$TMPDIR")"
echo "PASS: upgraded under Xvfb, screenshots in $shots"
