#!/usr/bin/env bash
# The real executable killed outright (SIGKILL) in the middle of a write to a virtual unit
# with real timing, as a crash would end it: the dfu-util it started goes on alone, and the
# unit ends holding the whole image, not part of it.
#   xvfb_killed_write.sh <kelvora-upgrade> <libkelvora_vusb.so>
# Exit 77 when Xvfb, xdotool or flock is missing (the test is then skipped).
set -euo pipefail

tool=$1
vusb=$2
for p in Xvfb xdotool flock; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
# shellcheck source-path=SCRIPTDIR source=tool_run.sh
. "$(dirname "$0")/tool_run.sh"
tool_run_setup 291 320
here=$(cd "$(dirname "$0")" && pwd)
image=$here/../../software/resources/firmware.bin
export KELVORA_VUSB_DIR=$work/bus
unit=$KELVORA_VUSB_DIR/unit1
mkdir -p "$KELVORA_VUSB_DIR"
"$here/../instruments/vusb/make_unit.sh" --knob timing=real "$unit" >/dev/null

# The unit library preloaded into the tool, whose dfu-util children inherit it.
log=$work/tool.log
LD_PRELOAD="$vusb${LD_PRELOAD:+ $LD_PRELOAD}" \
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" "$tool" -l >"$log" 2>&1 &
tool_pid=$!
pids+=("$tool_pid")
wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1) \
  || fail "no window"
wait_for_log "MainWindow downloadMode: setEnabled true" 60
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key --clearmodifiers Return
wait_for_log "B3: Upgrading FW" 10

# Killed once the first block is written; the rest takes seconds more.
deadline=$((SECONDS + 60))
until cmp -s -n 2048 "$image" "$unit/flash.bin"; do
  [ $SECONDS -lt $deadline ] || fail "the write did not begin"
  sleep 0.1
done
kill -KILL "$tool_pid"
wait "$tool_pid" 2>/dev/null || true

# The dfu-util that the tool started holds the unit until it ends.
deadline=$((SECONDS + 120))
until flock -n "$unit/lock" true; do
  [ $SECONDS -lt $deadline ] || fail "the unit is still held"
  sleep 0.2
done
cmp -n "$(stat -c %s "$image")" "$image" "$unit/flash.bin" \
  || fail "the unit does not hold the whole image after the tool was killed"
echo "PASS: a write whose tool was killed still left the whole image in the unit"
