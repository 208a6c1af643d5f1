#!/usr/bin/env bash
# A screenshot of the window in another language, under Xvfb, with a simulated unit
# connected: how the README shows a translation.
#   scripts/language_screenshot.sh [build folder] [locale] [output picture]
# Defaults: build, de_DE.UTF-8, docs/screenshots/connected_de.png. Needs: xvfb, xdotool,
# imagemagick.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tool=$(cd "${1:-$root/build}" && pwd)/kelvora-upgrade
locale=${2:-de_DE.UTF-8}
out=${3:-$root/docs/screenshots/connected_de.png}
[ -x "$tool" ] || { echo "language_screenshot.sh: missing $tool" >&2; exit 2; }

work=$(mktemp -d)
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data
export KELVORA_SIM_STATE_DIR=$work/sim
mkdir -p "$TMPDIR" "$KELVORA_SIM_STATE_DIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM LANGUAGE LC_ALL LC_MESSAGES
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
start_xvfb 200 230 || { echo "language_screenshot.sh: could not start Xvfb" >&2; exit 1; }

LANG=$locale "$tool" -s -l >"$log" 2>&1 &
tool_pid=$!
wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kelvora Firmware Upgrade Tool$" | head -n 1)
deadline=$((SECONDS + 60))
until grep -qF "B2: Conn. to (DFU-SE) dev. with diff. FW rev." "$log"; do
  [ $SECONDS -lt $deadline ] || { echo "language_screenshot.sh: no unit" >&2; exit 1; }
  sleep 0.2
done
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$wid")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
grep -F "Window language:" "$log"
echo "screenshot $out"
