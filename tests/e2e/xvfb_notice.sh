#!/usr/bin/env bash
# The desktop notice at the end of an upgrade, on a private session bus under Xvfb, with
# dbus-monitor watching the calls to org.freedesktop.Notifications:
#   - another window has the focus when the simulated upgrade ends: one notice, naming the
#     product and "Done", answered by a real notification daemon (dunst, started by the bus);
#   - the tool's window keeps the focus: no notice;
#   - a bus with no notification service: one line in the log, and the run goes on;
#   - a unit that does not come back after its write (the tool waits 20 s for it): the
#     notice names the product of the attempt although the unit is gone.
#   xvfb_notice.sh <kelvora-upgrade>
# Exit 77 when Xvfb, xdotool, xev, dbus-daemon, dbus-monitor or dunst is missing.
set -euo pipefail

tool=$1
for p in Xvfb xdotool xev dbus-daemon dbus-monitor dunst; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
# shellcheck source-path=SCRIPTDIR source=tool_run.sh
. "$(dirname "$0")/tool_run.sh"
tool_run_setup 231 260

# A bus of its own for each run ("none": one that can start no service), watched.
start_bus() { # run name, normal|none
  local info config=(--session)
  if [ "$2" = none ]; then
    printf '%s' "<busconfig><type>session</type><listen>unix:tmpdir=$TMPDIR</listen>" \
      '<policy context="default"><allow user="*"/><allow send_destination="*" eavesdrop="true"/>' \
      '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>' >"$work/bus.conf"
    config=(--config-file="$work/bus.conf")
  fi
  info=$(dbus-daemon "${config[@]}" --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=${info%%$'\n'*}
  pids+=("${info##*$'\n'}")
  monitor=$work/monitor.$1
  dbus-monitor "type='method_call',interface='org.freedesktop.Notifications',member='Notify'" \
    >"$monitor" 2>&1 &
  pids+=($!)
  sleep 0.5
}

# One simulated upgrade on a fresh unit, started with Return; `elsewhere` gives the focus to
# another window while it runs. It ends with "Done", or with the log line given.
upgrade() { # run name, elsewhere|here[, simulator configuration, log line at the end]
  export KELVORA_SIM_STATE_DIR=$work/sim.$1
  mkdir -p "$KELVORA_SIM_STATE_DIR"
  if [ -n "${3:-}" ]; then
    "$(dirname "$0")/../../simulator/dfu-util_simulator.sh" --dfu-util-command \
      setup_prepared_config "$3" >/dev/null || fail "no simulator configuration $3"
  fi
  start_tool
  wait_for_log "MainWindow downloadMode: setEnabled true" 60
  xdotool windowfocus --sync "$wid"
  sleep 0.3
  xdotool key --clearmodifiers Return
  wait_for_log "B3: Upgrading FW" 10
  if [ "$2" = elsewhere ]; then
    xev -geometry 200x100+700+600 -name other >/dev/null 2>&1 &
    pids+=($!)
    other=$(timeout 10 xdotool search --sync --onlyvisible --name "^other$" | head -n 1) \
      || fail "no other window"
    xdotool windowfocus --sync "$other"
  fi
  wait_for_log "${4:-B6: FW in dev. matches}" 120
  sleep 2
  stop_tool
}

start_bus focus_elsewhere normal
upgrade focus_elsewhere elsewhere
wait_for_log "Desktop notice sent" 5
sent=$(grep -c "member=Notify" "$monitor" || true)
[ "$sent" -eq 1 ] || fail "$sent notices for one upgrade, expected 1"
grep -qF 'string "Firmware upgrade of Lx-21"' "$monitor" || fail "the notice names no product"
grep -qF 'string "Done. Disconnect USB cable."' "$monitor" || fail "the notice tells no outcome"
echo "ok: one notice while another window had the focus"

start_bus focus_here normal
upgrade focus_here here
sent=$(grep -c "member=Notify" "$monitor" || true)
[ "$sent" -eq 0 ] || fail "$sent notices while the window was active"
echo "ok: no notice while the window was active"

start_bus no_service none
upgrade no_service elsewhere
wait_for_log "No desktop notice:" 5
lines=$(grep -c "No desktop notice:" "$log")
[ "$lines" -eq 1 ] || fail "$lines log lines about the missing service"
echo "ok: without a notification service, one line in the log"

start_bus not_back normal
upgrade not_back elsewhere no_return_after_download 'upgrade failed: "status_notBack"'
wait_for_log "Desktop notice sent" 5
grep -qF 'string "Firmware upgrade of Lx-21"' "$monitor" || fail "the notice names no product"
grep -qF 'did not come back' "$monitor" || fail "the notice does not tell that it is not back"
echo "ok: a notice naming the product of a unit that did not come back"
echo "PASS: desktop notices"
