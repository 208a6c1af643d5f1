#!/usr/bin/env bash
# A screen reader's view of the real executable: under Xvfb, on a private session bus with
# its own AT-SPI bus, the AT-SPI client (atspi_client.py) reads the running tool's tree,
# presses the install button, reads the bar while the simulated unit is written, and
# receives the failure of its check (the simulator's readback_differs unit) as a status
# change and as an alert.
#   xvfb_screen_reader.sh <kelvora-upgrade>
# Exit 77 when Xvfb, dbus-daemon or the AT-SPI client's packages are missing.
set -euo pipefail

tool=$1
here=$(cd "$(dirname "$0")" && pwd)
for p in Xvfb dbus-daemon; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
[ -x /usr/libexec/at-spi-bus-launcher ] || { echo "SKIP: at-spi2-core not installed"; exit 77; }
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "SKIP: python3-pyatspi not installed"; exit 77; }

work=$(mktemp -d)
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime KELVORA_SIM_STATE_DIR=$work/sim
export XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
mkdir -p "$TMPDIR" "$KELVORA_SIM_STATE_DIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
log=$work/tool.log
unset QT_QPA_PLATFORM LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8

xvfb_pid=""
tool_pid=""
bus_pid=""
cleanup() {
  if [ -n "$tool_pid" ]; then kill "$tool_pid" 2>/dev/null || true; fi
  if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source-path=SCRIPTDIR source=../../scripts/xvfb.sh
. "$here/../../scripts/xvfb.sh"
start_xvfb 130 160 || { echo "FAIL: could not start Xvfb"; exit 1; }
# A private session bus; the AT-SPI bus and its registry are started on demand from it.
bus_info=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=${bus_info%%$'\n'*}
bus_pid=${bus_info##*$'\n'}

"$here/../../simulator/dfu-util_simulator.sh" --dfu-util-command setup_prepared_config \
  readback_differs >/dev/null

QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$tool" -s -l >"$log" 2>&1 &
tool_pid=$!

status=0
timeout 100 /usr/bin/python3 "$here/atspi_client.py" 60 || status=$?
if [ "$status" -ne 0 ]; then
  echo "FAIL: the AT-SPI client's findings above (exit $status)"
  echo "---- tool output ----"
  tail -n 40 "$log"
  exit 1
fi
echo "PASS: a screen reader reads the tool and hears its failure"
