#!/usr/bin/env bash
# The bench window of the real executable as a screen reader sees it, against virtual units
# that announce themselves as udev would and the real dfu-util: under Xvfb, on a private
# session bus with its own AT-SPI bus, the AT-SPI client (atspi_client.py bench) reads the
# slots' table and presses the window's buttons while this script plugs units in.
#   udev_namespace.sh xvfb_bench.sh <kelvora-upgrade> <build folder>
# Disarmed, a unit waits unopened until "Start"; armed, units plugged in one after another
# are upgraded, one pulled during its write fails and stays greyed, one of another product is
# skipped, and one whose check fails is announced and, mended, tried again.
# Exit 77 when Xvfb, dbus-daemon, the AT-SPI client's packages or udev's namespace are missing.
set -euo pipefail

tool=$1
build=$2
here=$(cd "$(dirname "$0")" && pwd)
[ -n "${KELVORA_VUSB_UDEV:-}" ] || { echo "SKIP: needs udev_namespace.sh"; exit 77; }
for p in Xvfb dbus-daemon xdotool; do
  command -v "$p" >/dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
[ -x /usr/libexec/at-spi-bus-launcher ] || { echo "SKIP: at-spi2-core not installed"; exit 77; }
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "SKIP: python3-pyatspi not installed"; exit 77; }
# shellcheck source-path=SCRIPTDIR source=tool_run.sh
. "$here/tool_run.sh"
tool_run_setup 291 320 1366x768

tool_run_session_bus

# Four units on ports 1-1 to 1-4, unplugged until the script plugs them in.
bus=$work/bus
make_unit=$here/../instruments/vusb/make_unit.sh
"$make_unit" --serial 1111 --knob timing=real --knob timing_scale=0.3 "$bus/u1" >/dev/null
"$make_unit" --serial 2222 --knob timing=real --knob timing_scale=0.3 "$bus/u2" >/dev/null
"$make_unit" --serial 3333 --type 03 "$bus/u3" >/dev/null
"$make_unit" --serial 4444 --knob flip_bit=0x08001000:0 "$bus/u4" >/dev/null
for n in 1 2 3 4; do echo never >"$bus/u$n/back_at"; done
plug() { # unit number
  rm -f "$bus/u$1/back_at"
  "$build/kelvora_vusb_udev_event" add "$1"
}
mkdir -p "$XDG_CONFIG_HOME/kelvora-upgrade"
printf '1-1 A1\n1-2 A2\n1-3 B1\n1-4 B2\n' >"$XDG_CONFIG_HOME/kelvora-upgrade/slots.conf"

export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
log=$work/tool.log
# Under AddressSanitizer the virtual bus comes before its runtime in the preload list.
LD_PRELOAD="$build/tests/instruments/vusb/libkelvora_vusb.so${LD_PRELOAD:+ $LD_PRELOAD}" \
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" KELVORA_VUSB_DIR=$bus \
  "$tool" --bench >"$log" 2>&1 &
tool_pid=$!
pids+=("$tool_pid")
timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool: bench$" \
  >/dev/null || fail "no bench window"
client() { timeout 150 /usr/bin/python3 "$here/atspi_client.py" bench 120 "$@" || fail "the AT-SPI client's findings above"; }

# Disarmed: the unit waits, and nothing opens it until "Start".
plug 1
client cell:A1:State:Waiting cell:B2:State:"No unit"
[ ! -s "$bus/u1/log" ] || fail "a unit was opened while the bench was disarmed"
client press:Start progress:A1 cell:A1:Result:"Done: written"

# Armed: units plugged in one after another; the second is pulled while it is written.
client press:"Armed: upgrade every unit plugged in"
plug 2
client progress:A2
echo never >"$bus/u2/back_at"
"$build/kelvora_vusb_udev_event" remove 2
plug 3
plug 4
client cell:A2:Result:"Failed" cell:A2:State:Unplugged cell:A2:"Serial number":2222 \
  cell:B1:Result:"Skipped: another product" cell:B2:Result:"Failed" alert:"Slot B2: Failed" \
  label:"Done: 1    Failed: 2    Skipped: 1" cell:B2:"Serial number":4444 \
  cell:A1:"Version before":2.3

# The failed unit still plugged in (written, but its check read a flipped bit), mended, is
# checked again and found current; the one pulled out is left alone (the counts tell).
sed -i '/^flip_bit=/d' "$bus/u4/config"
client press:"Try failed again" cell:B2:Result:"Done: already current" \
  label:"Done: 2    Failed: 2    Skipped: 1" cell:A2:State:Unplugged
echo "PASS: a screen reader reads the bench's slots and hears its failure"
