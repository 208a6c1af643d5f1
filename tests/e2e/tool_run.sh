#!/usr/bin/env bash
# Sourced by the scripts that run the real executable under Xvfb.
#   tool_run_setup FIRST LAST [WIDTHxHEIGHT]: a temporary folder ($work) for the temporary,
#     runtime, data, config and cache folders and the simulator's state, an English locale,
#     and Xvfb on a free display in FIRST..LAST. Everything started and listed in `pids`
#     ends, and $work is removed, when the script exits.
#   start_tool: $tool in simulator mode with the log on standard error, into $log; sets
#     tool_pid and wid (its window).
#   stop_tool: ends it.
#   fail TEXT: ends the script, with the end of the tool's output.
#   wait_for_log TEXT SECONDS: waits for TEXT in $log while the tool runs.
pids=()
log=""

tool_run_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}

tool_run_setup() {
  work=$(mktemp -d)
  trap tool_run_cleanup EXIT
  export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime KELVORA_SIM_STATE_DIR=$work/sim
  export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
  mkdir -p "$TMPDIR" "$KELVORA_SIM_STATE_DIR"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  unset QT_QPA_PLATFORM LANGUAGE LC_ALL LC_MESSAGES QT_SCALE_FACTOR
  export LANG=C.UTF-8
  # shellcheck source-path=SCRIPTDIR source=../../scripts/xvfb.sh
  . "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xvfb.sh"
  start_xvfb "$@" || { echo "FAIL: could not start Xvfb"; exit 1; }
  pids+=("$xvfb_pid")
}

# A private session bus for this run, ended with the run.
tool_run_session_bus() {
  local bus_info
  bus_info=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=${bus_info%%$'\n'*}
  pids+=("${bus_info##*$'\n'}")
}

fail() {
  echo "FAIL: $*"
  if [ -n "$log" ]; then
    echo "---- tool output ----"
    tail -n 40 "$log"
  fi
  exit 1
}

wait_for_log() {
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$1" "$log"; do
    [ $SECONDS -lt $deadline ] || fail "no '$1' within $2 s"
    kill -0 "$tool_pid" 2>/dev/null || fail "the tool ended early"
    sleep 0.2
  done
}

start_tool() {
  log=$work/tool.$((${#pids[@]})).log
  "${tool:?}" -s -l >"$log" 2>&1 &
  tool_pid=$!
  pids+=("$tool_pid")
  # shellcheck disable=SC2034 # for the script that sources this
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1) \
    || fail "no window"
}

stop_tool() {
  kill "$tool_pid" 2>/dev/null || true
  wait "$tool_pid" 2>/dev/null || true
}
