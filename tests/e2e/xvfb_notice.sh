#!/usr/bin/env bash
# The desktop notice at the end of an upgrade, on a private session bus under Xvfb, with
# dbus-monitor watching the calls to org.freedesktop.Notifications:
#   - another window has the focus when the simulated upgrade ends: one notice, naming the
#     product and "Done", delivered to a real notification daemon (dunst, started by the bus);
#   - the tool's window keeps the focus: no notice;
#   - a bus with no notification service: one line in the log, and the run goes on.
#   xvfb_notice.sh <kelvora-upgrade>
# Exit 77 when Xvfb, xdotool, xev, dbus-daemon, dbus-monitor or dunst is missing.
set -euo pipefail

tool=$1
for p in Xvfb xdotool xev dbus-daemon dbus-monitor dunst; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done

work=$(mktemp -d)
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
mkdir -p "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8
log=""

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source-path=SCRIPTDIR source=../../scripts/xvfb.sh
. "$(dirname "$0")/../../scripts/xvfb.sh"
start_xvfb 231 260 || { echo "FAIL: could not start Xvfb"; exit 1; }
pids+=("$xvfb_pid")

fail() {
  echo "FAIL: $*"
  if [ -n "$log" ]; then
    echo "---- tool output ----"
    tail -n 30 "$log"
  fi
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

# A bus of its own for each run; "none" gives one that can start no service.
start_bus() { # normal | none
  local info
  if [ "$1" = none ]; then
    cat >"$work/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$TMPDIR</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
    info=$(dbus-daemon --config-file="$work/bus.conf" --fork --print-address=1 --print-pid=1)
  else
    info=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  fi
  export DBUS_SESSION_BUS_ADDRESS=${info%%$'\n'*}
  pids+=("${info##*$'\n'}")
  dbus-monitor "type='method_call',interface='org.freedesktop.Notifications',member='Notify'" \
    >"$work/monitor.$run" 2>&1 &
  pids+=($!)
  sleep 0.5
}

# One simulated upgrade, started with Return; `elsewhere` gives the focus to another window
# while it runs. Prints how many notices were asked for.
upgrade() { # run-name, elsewhere|here
  log=$work/tool.$1.log
  export KELVORA_SIM_STATE_DIR=$work/sim.$1
  mkdir -p "$KELVORA_SIM_STATE_DIR"
  "$tool" -s -l >"$log" 2>&1 &
  tool_pid=$!
  pids+=("$tool_pid")
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1) \
    || fail "no window"
  wait_for_log "MainWindow downloadMode: setEnabled true" 60
  xdotool windowfocus --sync "$wid"
  sleep 0.3
  xdotool key --clearmodifiers Return
  wait_for_log "B3: Upgrading FW" 10
  if [ "$2" = elsewhere ]; then
    xev -geometry 200x100+700+600 -name other >/dev/null 2>&1 &
    pids+=($!)
    other=$(timeout 10 xdotool search --sync --onlyvisible --name "^other$" | head -n 1) || fail "no other window"
    xdotool windowfocus --sync "$other"
  fi
  wait_for_log "B6: FW in dev. matches" 120
  sleep 2
  kill "$tool_pid"
  wait "$tool_pid" 2>/dev/null || true
}

run=focus_elsewhere
start_bus normal
upgrade "$run" elsewhere
wait_for_log "Desktop notice sent" 5
sent=$(grep -c "member=Notify" "$work/monitor.$run" || true)
[ "$sent" -eq 1 ] || fail "$sent notices for one upgrade, expected 1"
grep -qF 'string "Firmware upgrade of Lx-21"' "$work/monitor.$run" || fail "the notice names no product"
grep -qF 'string "Done. Disconnect USB cable."' "$work/monitor.$run" || fail "the notice tells no outcome"
echo "ok: one notice while another window had the focus"

run=focus_here
start_bus normal
upgrade "$run" here
sent=$(grep -c "member=Notify" "$work/monitor.$run" || true)
[ "$sent" -eq 0 ] || fail "$sent notices while the window was active"
echo "ok: no notice while the window was active"

run=no_service
start_bus none
upgrade "$run" elsewhere
wait_for_log "No desktop notice:" 5
lines=$(grep -c "No desktop notice:" "$log")
[ "$lines" -eq 1 ] || fail "$lines log lines about the missing service"
echo "ok: without a notification service, one line in the log"
echo "PASS: desktop notices"
