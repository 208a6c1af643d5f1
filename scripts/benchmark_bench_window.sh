#!/usr/bin/env bash
# The bench window with 16 virtual units (real F4 timing, scaled) written at once: the GUI
# thread's longest stall (goal under 16 ms) and the wall time from arming to the last verdict
# against the station alone on the same units (goal: at most 1.02 times). Runs itself in
# udev_namespace.sh (root) under Xvfb; each round makes the units anew, station then window.
#   scripts/benchmark_bench_window.sh BUILD_FOLDER [ROUNDS]
#   KELVORA_BENCH_UNITS   units (default 16)   KELVORA_BENCH_SCALE   timing_scale (default 0.2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${KELVORA_VUSB_UDEV:-}" ]; then
  exec "$root/tests/instruments/vusb/udev_namespace.sh" "$0" "$@"
fi
build=$(cd "${1:?build folder}" && pwd)
rounds=${2:-2}
units=${KELVORA_BENCH_UNITS:-16}
scale=${KELVORA_BENCH_SCALE:-0.2}
probe=$build/benchmarks/bench_window_probe
[ -x "$probe" ] || { echo "benchmark_bench_window.sh: missing $probe" >&2; exit 2; }

# shellcheck source=tests/e2e/tool_run.sh disable=SC1091
. "$root/tests/e2e/tool_run.sh"
tool_run_setup 351 380 1366x768
bus=$work/bus

make_units() {
  rm -rf "$bus"
  local n
  for n in $(seq 1 "$units"); do
    "$root/tests/instruments/vusb/make_unit.sh" --serial "$(printf '%04d' "$n")" \
      --knob timing=real --knob "timing_scale=$scale" "$bus/u$(printf '%02d' "$n")" >/dev/null
  done
}
run() { # mode
  make_units
  KELVORA_PROBE_UNITS=$units QT_LOGGING_RULES='*=false' LD_PRELOAD=$build/tests/instruments/vusb/libkelvora_vusb.so \
    KELVORA_VUSB_DIR=$bus timeout 600 "$probe" "$1"
}
value() { sed -n "s/^$1=//p"; }

printf '%-6s %11s %11s %7s %15s %15s %14s %13s %8s %10s %7s\n' round station_ms window_ms ratio \
  station_stall_ms window_stall_ms busy_in_stall most_busy_gap blocked preempted faults
for r in $(seq 1 "$rounds"); do
  s=$(run station)
  w=$(run window)
  s_ms=$(value wall_ms <<<"$s")
  w_ms=$(value wall_ms <<<"$w")
  [ "$(value units <<<"$w")" = "$units" ] || { echo "the window saw $(value units <<<"$w") units" >&2; exit 1; }
  printf '%-6s %11s %11s %7.3f %15s %15s %14s %13s %8s %10s %7s\n' "$r" "$s_ms" "$w_ms" \
    "$(awk "BEGIN { print $w_ms / $s_ms }")" "$(value longest_stall_ms <<<"$s")" \
    "$(value longest_stall_ms <<<"$w")" "$(value busy_in_longest_ms <<<"$w")" \
    "$(value most_busy_gap_ms <<<"$w")" "$(value blocked_in_longest <<<"$w")" \
    "$(value preempted_in_longest <<<"$w")" "$(value faults_in_longest <<<"$w")"
done
