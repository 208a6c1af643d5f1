#!/usr/bin/env bash
# A screenshot of the bench window with eight slots under way, under Xvfb against virtual
# units with real F4 timing that announce themselves as udev would: armed through the AT-SPI
# client, units plugged in one after another, one of another product, one whose check fails.
#   scripts/vusb_bench_screenshot.sh [build folder] [screenshot folder]
# Runs itself inside udev_namespace.sh (root). The build folder needs kelvora-upgrade,
# kelvora_vusb and kelvora_vusb_udev_event. Needs: xvfb, xdotool, imagemagick, dbus,
# at-spi2-core, python3-pyatspi.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${KELVORA_VUSB_UDEV:-}" ]; then
  exec "$root/tests/instruments/vusb/udev_namespace.sh" "$0" "$@"
fi
build=$(cd "${1:-$root/build}" && pwd)
mkdir -p "${2:-$root/docs/screenshots}"
shots=$(cd "${2:-$root/docs/screenshots}" && pwd)
tool=$build/kelvora-upgrade
for f in "$tool" "$build/tests/instruments/vusb/libkelvora_vusb.so" "$build/kelvora_vusb_udev_event"; do
  [ -e "$f" ] || { echo "vusb_bench_screenshot.sh: missing $f" >&2; exit 2; }
done

# shellcheck source=tests/e2e/tool_run.sh disable=SC1091
. "$root/tests/e2e/tool_run.sh"
tool_run_setup 321 350 1366x768
tool_run_session_bus

bus=$work/bus
mkdir -p "$XDG_CONFIG_HOME/kelvora-upgrade"
: >"$XDG_CONFIG_HOME/kelvora-upgrade/slots.conf"
for n in 1 2 3 4 5 6 7 8; do
  options=(--serial "$n$n$n$n" --knob timing=real --knob timing_scale=0.$((n + 1)))
  [ "$n" -eq 5 ] && options+=(--type 03)
  [ "$n" -eq 7 ] && options+=(--knob flip_bit=0x08001000:0)
  "$root/tests/instruments/vusb/make_unit.sh" "${options[@]}" "$bus/u$n" >/dev/null
  echo never >"$bus/u$n/back_at"
  echo "1-$n $(printf '%s' "AABBCCDD" | cut -c"$n")$(((n + 1) % 2 + 1))" \
    >>"$XDG_CONFIG_HOME/kelvora-upgrade/slots.conf"
done

export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
log=$work/tool.log
LD_PRELOAD=$build/tests/instruments/vusb/libkelvora_vusb.so KELVORA_VUSB_DIR=$bus \
  "$tool" --bench >"$log" 2>&1 &
tool_pid=$!
pids+=("$tool_pid")
wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool: bench$" | head -n 1) \
  || fail "no bench window"
client() { timeout 150 /usr/bin/python3 "$root/tests/e2e/atspi_client.py" bench 120 "$@" >/dev/null || fail "$*"; }
client press:"Armed: upgrade every unit plugged in"
for n in 1 2 3 4 5 6 7 8; do
  rm -f "$bus/u$n/back_at"
  "$build/kelvora_vusb_udev_event" add "$n"
  sleep 1.5
done
client cell:C1:Result:Skipped progress:D2
# The log of slot B2 shown below the rows: its row selected (the fourth, under the header).
xdotool mousemove --window "$wid" 30 172 click 1
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$wid")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/bench.png"
echo "saved $shots/bench.png"
