#!/usr/bin/env bash
# Starts the tool's window under Xvfb and saves a screenshot of the screen.
#   scripts/screenshot.sh [build folder] [output png]
# Runs the tool in simulator mode; when its start-up does not open the window (yet), the
# GUI test probe builds the window from the carried settings instead.
# Needs: xvfb, xauth, xdotool, imagemagick.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
out="${2:-$root/docs/screenshots/window.png}"
title="Kelvora Firmware Upgrade Tool"
mkdir -p "$(dirname "$out")"
build="$(cd "$build" && pwd)"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

inner() {
  local build="$1" out="$2" title="$3" pid="" found=""
  for candidate in "$build/kelvora-upgrade -s" "$build/tests/gui/gui_probe window sim"; do
    set -- $candidate
    [ -x "$1" ] || continue
    "$@" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 1 50); do
      if xdotool search --name "$title" >/dev/null 2>&1; then found=1; break; fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    [ -n "$found" ] && break
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -z "$found" ]; then
    echo "screenshot.sh: no window titled '$title' appeared" >&2
    return 1
  fi
  sleep 1 # let it paint
  import -window root "$out"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
if [ "${KELVORA_SCREENSHOT_INNER:-}" = 1 ]; then
  inner "$build" "$out" "$title"
  exit
fi
KELVORA_SCREENSHOT_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "$build" "$out"
echo "Saved $out"
