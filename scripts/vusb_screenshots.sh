#!/usr/bin/env bash
# Screenshots of the tool against a virtual unit with real F4 timing, under Xvfb: the status
# line while the unit may not be opened by this user, then (the unit allowed) the bar
# following dfu-util's progress halfway through the download.
#   scripts/vusb_screenshots.sh [build folder] [screenshot folder]
# The build folder needs kelvora-upgrade and kelvora_vusb. Needs: xvfb, xdotool, imagemagick.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
mkdir -p "${2:-$root/docs/screenshots}"
shots=$(cd "${2:-$root/docs/screenshots}" && pwd)
tool=$build/kelvora-upgrade
library=$build/tests/instruments/vusb/libkelvora_vusb.so
for f in "$tool" "$library"; do
  [ -e "$f" ] || { echo "vusb_screenshots.sh: missing $f" >&2; exit 2; }
done

work=$(mktemp -d)
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data
mkdir -p "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM KELVORA_VUSB_TIMING
log=$work/tool.log
xvfb_pid="" tool_pid=""
cleanup() {
  if [ -n "$tool_pid" ]; then kill "$tool_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=scripts/xvfb.sh disable=SC1091
. "$root/scripts/xvfb.sh"
start_xvfb 170 200 || { echo "vusb_screenshots.sh: could not start Xvfb" >&2; exit 1; }

wait_for_log() { # text, seconds
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$1" "$log"; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$tool_pid" 2>/dev/null; then
      echo "vusb_screenshots.sh: no '$1' within $2 s" >&2
      tail -n 40 "$log" >&2
      exit 1
    fi
    sleep 0.2
  done
}
shot() { # name
  local geometry
  geometry=$(xdotool getwindowgeometry --shell "$wid")
  eval "$geometry"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$1.png"
  echo "saved $shots/$1.png"
}

bus=$work/bus
"$root/tests/instruments/vusb/make_unit.sh" --knob access=denied --knob timing=real "$bus/unit1" >/dev/null
LD_PRELOAD=$library KELVORA_VUSB_DIR=$bus "$tool" -l >"$log" 2>&1 &
tool_pid=$!
wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1)
wait_for_log "A DFU unit was found that cannot be opened" 30
sleep 1
shot access

# The udev rule in place: the unit can be opened, and is upgraded.
sed -i 's/^access=denied$/access=granted/' "$bus/unit1/config"
wait_for_log "B2: Conn. to (DFU-SE) dev. with diff. FW rev." 30
sleep 0.5
xdotool mousemove --window "$wid" 332 437 click 1
wait_for_log "B3: Upgrading FW" 10
# Past the erase, about halfway through writing.
sleep 8
shot progress
wait_for_log "B6: FW in dev. matches" 120
