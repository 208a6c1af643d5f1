#!/usr/bin/env bash
# The tool's upgrade done by hand: the same dfu-util command lines, one after the other,
# with no waits but the listing repeated until the unit is back after "leave".
#   manual_upgrade.sh <dfu-util> <firmware.bin> <work folder>
# Prints each step's milliseconds and total_ms=... (key=value lines).
set -euo pipefail
dfu=$1
image=$2
work=$3
mkdir -p "$work"
size=$(stat -c %s "$image")

ms() { echo $(($(date +%s%N) / 1000000)); }
step() { # name, command...
  local name=$1 t0
  shift
  t0=$(ms)
  "$@" >>"$work/dfu-util.log" 2>&1 || { echo "manual_upgrade: $name failed" >&2; exit 1; }
  echo "${name}_ms=$(($(ms) - t0))"
}
listed() { "$dfu" -d 0483 -l 2>>"$work/dfu-util.log" | grep -q "^Found DFU: \[0483:df11\]"; }

rm -f "$work"/otp*.bin "$work"/info*.bin "$work"/readback.bin
start=$(ms)
step list listed
step upload_otp "$dfu" -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/otp1.bin"
step upload_info "$dfu" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info1.bin"
step download "$dfu" -d 0483 -a 0 -s 0x08000000:leave -D "$image"
t0=$(ms)
lists=1
until listed; do lists=$((lists + 1)); done
echo "wait_back_ms=$(($(ms) - t0))"
echo "wait_back_listings=$lists"
step upload_otp2 "$dfu" -d 0483 -a 2 -s 0x1FFF7800:512 -U "$work/otp2.bin"
step upload_info2 "$dfu" -d 0483 -a 0 -s 0x08000000:2048 -U "$work/info2.bin"
step upload_image "$dfu" -d 0483 -a 0 -s "0x08000000:$size" -U "$work/readback.bin"
echo "total_ms=$(($(ms) - start))"
cmp -s "$image" "$work/readback.bin" || { echo "manual_upgrade: read-back differs" >&2; exit 1; }
