#!/usr/bin/env bash
# The service bench against virtual units with real timing, in one run:
#   kelvora-flash upgrade PORT on one older unit, against the same dfu-util commands run by
#   hand one after the other (goal: at most 1.03);
#   upgrade --all of eight units side by side, against one unit alone (goal: at most 1.05);
#   the same dfu-util commands by hand on eight units side by side, which tells what the
#   machine and the virtual units themselves lose when eight run at once;
#   and the bench program's CPU and peak memory (/usr/bin/time -v) during the eight.
# KELVORA_BENCHMARK_RUNS (default 3) sets how often each is run; the medians are compared.
# Appends its table to the summary file when one is given.
#   scripts/benchmark_flash.sh BUILD_FOLDER [SUMMARY_FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:?build folder}" && pwd)
summary=${2:-/dev/null}
bench=$build/kelvora-flash
dfu=$build/dfu_util_bundle/dfu-util
image=software/resources/firmware.bin
vusb_lib=$build/tests/instruments/vusb/libkelvora_vusb.so

# The units' folders on a RAM file system when there is one: a virtual unit rewrites its
# flash file after every block, which a shared disk would turn into a measure of the disk.
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data
mkdir -p "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export LD_PRELOAD=$vusb_lib KELVORA_VUSB_TIMING=real

make_bus() { # folder, units
  local u
  for u in $(seq 1 "$2"); do
    tests/instruments/vusb/make_unit.sh --serial "$((1000 + u))" "$1/unit$u" >/dev/null
  done
}

ms() { echo $(($(date +%s%N) / 1000000)); }

run() { # bus folder, label, kelvora-flash arguments...: wall time in ms
  local bus=$1 label=$2
  shift 2
  local start
  start=$(ms)
  KELVORA_VUSB_DIR=$bus /usr/bin/time -v -o "$work/$label.time" "$bench" "$@" >"$work/$label.out" \
    || { echo "benchmark_flash: $label failed" >&2; tail -n 5 "$work/$label.out" >&2; exit 1; }
  echo $(($(ms) - start))
  grep -q '"event":"summary","done":'"$(find "$bus" -mindepth 1 -maxdepth 1 -type d | wc -l)"',"failed":0' "$work/$label.out" \
    || { echo "benchmark_flash: $label did not upgrade every unit" >&2; exit 1; }
}

# What kelvora-flash upgrade runs for one unit of an older revision, by hand: the version
# check, the listing of the bus, the identity, the write, the listing of the port until the
# unit is back, the read-back.
by_hand_unit() { # bus folder, port, output folder
  local out=$3 size
  size=$(stat -c %s "$image")
  mkdir -p "$out"
  {
    "$dfu" -V
    "$dfu" -d 0483 -l
    "$dfu" -d 0483 -a 2 -s 0x1FFF7800:512 -U "$out/otp.bin" -p "$2"
    "$dfu" -d 0483 -a 0 -s 0x08000000:2048 -U "$out/info.bin" -p "$2"
    "$dfu" -d 0483 -a 0 -s 0x08000000:leave -D "$image" -p "$2"
    until "$dfu" -d 0483 -l -p "$2" | grep -q "path=\"$2\""; do :; done
    "$dfu" -d 0483 -a 0 -s "0x08000000:$size" -U "$out/readback.bin" -p "$2"
  } >"$out/dfu-util.log" 2>&1 || { echo "benchmark_flash: by hand on $2 failed" >&2; exit 1; }
  cmp -s "$image" "$out/readback.bin" || { echo "benchmark_flash: read-back differs" >&2; exit 1; }
}

by_hand() { # bus folder: every unit of the bus side by side; wall time in ms
  local start units p
  units=$(find "$1" -mindepth 1 -maxdepth 1 -type d | wc -l)
  export KELVORA_VUSB_DIR=$1
  start=$(ms)
  for p in $(seq 1 "$units"); do
    by_hand_unit "$1" "1-$p" "$1.out$p" &
  done
  wait
  echo $(($(ms) - start))
  unset KELVORA_VUSB_DIR
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN {print (r <= g) ? "met" : "missed"}'; }
median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# Each pair is run side by side in time, one after the other, so that both meet the same load
# of the machine; the medians are compared.
runs=${KELVORA_BENCHMARK_RUNS:-3}
ports="" hands="" ones="" eights="" hand_eights=""
for i in $(seq "$runs"); do
  make_bus "$work/port$i" 1
  make_bus "$work/hand$i" 1
  make_bus "$work/one$i" 1
  make_bus "$work/eight$i" 8
  make_bus "$work/hand_eight$i" 8
  ports+=" $(run "$work/port$i" "port$i" upgrade 1-1 --json)"
  hands+=" $(by_hand "$work/hand$i")"
  ones+=" $(run "$work/one$i" "one$i" upgrade --all --json)"
  eights+=" $(run "$work/eight$i" "eight$i" upgrade --all --json)"
  hand_eights+=" $(by_hand "$work/hand_eight$i")"
  echo "run $i: upgrade 1-1 ${ports##* } ms, by hand ${hands##* } ms, one unit ${ones##* } ms," \
    "eight ${eights##* } ms, eight by hand ${hand_eights##* } ms" >&2
done
port=$(echo "$ports" | median)
hand=$(echo "$hands" | median)
one=$(echo "$ones" | median)
eight=$(echo "$eights" | median)
hand_eight=$(echo "$hand_eights" | median)
cpu=$(sed -n 's/^\tPercent of CPU this job got: //p' "$work/eight1.time")
rss=$(sed -n 's/^\tMaximum resident set size (kbytes): //p' "$work/eight1.time")
port_ratio=$(ratio "$port" "$hand")
eight_ratio=$(ratio "$eight" "$one")
{
  echo
  echo "| 6. kelvora-flash, virtual units with real timing, median of $runs | wall time | ratio |"
  echo "|---|---|---|"
  echo "| the same dfu-util commands by hand, one unit | $hand ms ($hands ) | 1.00 |"
  echo "| upgrade 1-1, one unit | $port ms ($ports ) | $port_ratio against by hand (goal at most 1.03: $(verdict "$port_ratio" 1.03)) |"
  echo "| upgrade --all, one unit | $one ms ($ones ) | 1.00 |"
  echo "| upgrade --all, eight units side by side | $eight ms ($eights ) | $eight_ratio against one unit (goal at most 1.05: $(verdict "$eight_ratio" 1.05)) |"
  echo "| the same dfu-util commands by hand, eight units side by side | $hand_eight ms ($hand_eights ) | $(ratio "$hand_eight" "$hand") against one unit by hand; upgrade --all $(ratio "$eight" "$hand_eight") against it |"
  echo
  echo "kelvora-flash during the first eight side by side (/usr/bin/time -v, the program with its dfu-util children): CPU $cpu of one core over the run, peak resident memory $((rss / 1024)) MiB."
} | tee -a "$summary"
