#!/usr/bin/env bash
# A screen reader's view of the real executable: under Xvfb, on a private session bus with
# its own AT-SPI bus, the AT-SPI client (atspi_client.py) reads the running tool's tree,
# presses the install button, reads the bar while the simulated unit is written, and
# receives the failure of its check (the simulator's readback_differs unit) as a status
# change and as an alert.
#   xvfb_screen_reader.sh <kelvora-upgrade>
# Exit 77 when Xvfb, xdotool, dbus-daemon or the AT-SPI client's packages are missing.
set -euo pipefail

tool=$1
here=$(cd "$(dirname "$0")" && pwd)
for p in Xvfb xdotool dbus-daemon; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
[ -x /usr/libexec/at-spi-bus-launcher ] || { echo "SKIP: at-spi2-core not installed"; exit 77; }
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "SKIP: python3-pyatspi not installed"; exit 77; }
# shellcheck source-path=SCRIPTDIR source=tool_run.sh
. "$here/tool_run.sh"
tool_run_setup 130 160

# A private session bus; the AT-SPI bus and its registry are started on demand from it.
tool_run_session_bus

"$here/../../simulator/dfu-util_simulator.sh" --dfu-util-command setup_prepared_config \
  readback_differs >/dev/null
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
start_tool

status=0
timeout 100 /usr/bin/python3 "$here/atspi_client.py" 60 || status=$?
[ "$status" -eq 0 ] || fail "the AT-SPI client's findings above (exit $status)"
echo "PASS: a screen reader reads the tool and hears its failure"
