#!/usr/bin/env bash
# A whole simulated upgrade driven by keys alone (xdotool under Xvfb, no pointer), in German
# as LANG asks: the install button has the focus once the unit is offered, Return starts the
# write, and the run reaches "Done"; keys while the bar covers the button start nothing;
# Q still stops. The log stays English.
#   xvfb_keyboard.sh <kelvora-upgrade>
# Exit 77 when Xvfb or xdotool is missing (the test is then skipped).
set -euo pipefail

tool=$1
for p in Xvfb xdotool; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
# shellcheck source-path=SCRIPTDIR source=tool_run.sh
. "$(dirname "$0")/tool_run.sh"
tool_run_setup 161 190
export LANG=de_DE.UTF-8

start_tool
xdotool windowfocus --sync "$wid" 2>/dev/null || true
grep -qF 'Window language: "de"' "$log" || fail "the window is not in German"
wait_for_log "MainWindow downloadMode: setEnabled true" 60
sleep 0.5

xdotool key --clearmodifiers Return
wait_for_log "Install clicked" 10
wait_for_log "B3: Upgrading FW" 10
xdotool key --clearmodifiers Tab space Tab Return
wait_for_log "B6: FW in dev. matches" 120
clicks=$(grep -cF "Install clicked" "$log")
[ "$clicks" -eq 1 ] || fail "the install button was pressed $clicks times"

xdotool key q
wait_for_log "Trying to stop sm_A" 10
echo "PASS: a simulated upgrade driven by keys alone reached Done"
