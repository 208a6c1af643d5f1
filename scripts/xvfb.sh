#!/usr/bin/env bash
# Sourced by scripts that need an X display of their own.
# start_xvfb FIRST LAST [WIDTHxHEIGHT]: starts Xvfb (1280x1024 unless given, 96 dpi) on the
# first free display number in FIRST..LAST and sets DISPLAY and xvfb_pid; returns non-zero
# when none could be started.
start_xvfb() {
  local n
  for n in $(seq "$1" "$2"); do
    { [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; } && continue
    Xvfb ":$n" -screen 0 "${3:-1280x1024}x24" -dpi 96 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    if kill -0 "$xvfb_pid" 2>/dev/null; then
      export DISPLAY=":$n"
      return 0
    fi
  done
  return 1
}
