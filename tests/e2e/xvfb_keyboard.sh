#!/usr/bin/env bash
# A whole simulated upgrade driven by keys alone (xdotool under Xvfb, no pointer): the
# install button has the focus once the unit is offered, Return starts the write, and the
# run reaches "Done"; Tab while the bar covers the button starts nothing. The run is in
# German, as LANG asks, with its log in English.
#   xvfb_keyboard.sh <kelvora-upgrade>
# Exit 77 when Xvfb or xdotool is missing (the test is then skipped).
set -euo pipefail

tool=$1
for p in Xvfb xdotool; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done

work=$(mktemp -d)
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime KELVORA_SIM_STATE_DIR=$work/sim
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
mkdir -p "$TMPDIR" "$KELVORA_SIM_STATE_DIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
log=$work/tool.log
unset QT_QPA_PLATFORM LANGUAGE LC_ALL LC_MESSAGES
export LANG=de_DE.UTF-8

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
start_xvfb 161 190 || { echo "FAIL: could not start Xvfb"; exit 1; }

fail() {
  echo "FAIL: $*"
  echo "---- tool output ----"
  tail -n 40 "$log"
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

"$tool" -s -l >"$log" 2>&1 &
tool_pid=$!

wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1) \
  || fail "no window"
xdotool windowfocus --sync "$wid" 2>/dev/null || true
grep -qF 'Window language: "de"' "$log" || fail "the window is not in German"
wait_for_log "MainWindow downloadMode: setEnabled true" 60
sleep 0.5

xdotool key --clearmodifiers Return
wait_for_log "Install clicked" 10
wait_for_log "B3: Upgrading FW" 10
# The bar covers the button now: Tab and Space must not start a second write.
xdotool key --clearmodifiers Tab space Tab Return
wait_for_log "B6: FW in dev. matches" 120
clicks=$(grep -cF "Install clicked" "$log")
[ "$clicks" -eq 1 ] || fail "the install button was pressed $clicks times"

# Q still stops both machines and leaves the window open.
xdotool key q
wait_for_log "Trying to stop sm_A" 10
echo "PASS: a simulated upgrade driven by keys alone reached Done"
