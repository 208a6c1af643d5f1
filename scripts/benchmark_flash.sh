#!/usr/bin/env bash
# The service bench against eight virtual units with real timing:
#   upgrade --all of eight units side by side, against one unit alone (goal: at most 1.15),
#   the same eight units one after another (--jobs 1), for comparison,
#   and the bench program's CPU and peak memory (/usr/bin/time -v) during the eight.
# Appends its table to the summary file when one is given.
#   scripts/benchmark_flash.sh BUILD_FOLDER [SUMMARY_FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:?build folder}" && pwd)
summary=${2:-/dev/null}
bench=$build/kelvora-flash
vusb_lib=$build/tests/instruments/vusb/libkelvora_vusb.so

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data
mkdir -p "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"

make_bus() { # folder, units
  for i in $(seq 1 "$2"); do
    tests/instruments/vusb/make_unit.sh --serial "$((1000 + i))" "$1/unit$i" >/dev/null
  done
}

run() { # bus folder, label, kelvora-flash arguments...: wall time in ms
  local bus=$1 label=$2
  shift 2
  local start end
  start=$(date +%s%N)
  LD_PRELOAD=$vusb_lib KELVORA_VUSB_DIR=$bus KELVORA_VUSB_TIMING=real \
    /usr/bin/time -v -o "$work/$label.time" "$bench" "$@" >"$work/$label.out" \
    || { echo "benchmark_flash: $label failed" >&2; tail -n 5 "$work/$label.out" >&2; exit 1; }
  end=$(date +%s%N)
  grep -q '"event":"summary","done":'"$(find "$bus" -mindepth 1 -maxdepth 1 -type d | wc -l)"',"failed":0' "$work/$label.out" \
    || { echo "benchmark_flash: $label did not upgrade every unit" >&2; exit 1; }
  echo $(((end - start) / 1000000))
}

make_bus "$work/one" 1
make_bus "$work/eight" 8
make_bus "$work/eight_serial" 8
one=$(run "$work/one" one upgrade --all --json)
eight=$(run "$work/eight" eight upgrade --all --json)
serial=$(run "$work/eight_serial" serial upgrade --all --jobs 1 --json)
cpu=$(sed -n 's/^\tPercent of CPU this job got: //p' "$work/eight.time")
rss=$(sed -n 's/^\tMaximum resident set size (kbytes): //p' "$work/eight.time")
ratio=$(awk -v a="$eight" -v b="$one" 'BEGIN {printf "%.2f", a / b}')
verdict=$(awk -v r="$ratio" 'BEGIN {print (r <= 1.15) ? "met" : "missed"}')
{
  echo
  echo "| 6. kelvora-flash upgrade --all, virtual units with real timing | wall time | against one unit |"
  echo "|---|---|---|"
  echo "| one unit | $one ms | 1.00 |"
  echo "| eight units side by side | $eight ms | $ratio (goal at most 1.15: $verdict) |"
  echo "| eight units one after another (--jobs 1) | $serial ms | $(awk -v a="$serial" -v b="$one" 'BEGIN {printf "%.2f", a / b}') |"
  echo
  echo "kelvora-flash during the eight side by side (/usr/bin/time -v, the program with its dfu-util children): CPU $cpu of one core over the run, peak resident memory $((rss / 1024)) MiB."
} | tee -a "$summary"
