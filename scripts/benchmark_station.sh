#!/usr/bin/env bash
# The station on eight slots against virtual units with real timing: as soon as a unit is
# done, it is pulled and a fresh unit is plugged into its slot, until every slot has done
# ROUNDS units. Units per hour against the limit of eight slots whose every unit takes exactly
# the time of the same dfu-util commands run by hand (benchmarks/manual_upgrade.sh, one unit
# alone); goal at least 95 %. Needs root: it runs itself in udev_namespace.sh, where the
# virtual units announce themselves as udev would. Appends its table to the summary file.
#   scripts/benchmark_station.sh BUILD_FOLDER [SUMMARY_FILE]
#   KELVORA_STATION_ROUNDS   units per slot (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KELVORA_VUSB_UDEV:-}" ]; then
  exec tests/instruments/vusb/udev_namespace.sh "$0" "$@"
fi
build=$(cd "${1:?build folder}" && pwd)
summary=${2:-/dev/null}
summary=$(realpath -m "$summary")
rounds=${KELVORA_STATION_ROUNDS:-3}
slots=${KELVORA_STATION_SLOTS:-8}
vusb_lib=$build/tests/instruments/vusb/libkelvora_vusb.so
announce=$build/kelvora_vusb_udev_event
image=software/resources/firmware.bin

work=$(mktemp -d)
station_pid=""
cleanup() {
  if [ -n "$station_pid" ]; then
    kill -TERM "$station_pid" 2>/dev/null || true
    wait "$station_pid" || true
  fi
  rm -rf "$work"
  case ${bus:-} in /dev/shm/*) rm -rf "$bus" ;; esac
}
trap cleanup EXIT
export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/runtime XDG_DATA_HOME=$work/data \
  XDG_CONFIG_HOME=$work/config
mkdir -p "$TMPDIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
ms() { echo $(($(date +%s%N) / 1000000)); }

# By hand: one unit, the same commands one after the other.
tests/instruments/vusb/make_unit.sh --serial 9999 "$work/manual_bus/unit1" >/dev/null
manual_ms=$(LD_PRELOAD=$vusb_lib KELVORA_VUSB_DIR=$work/manual_bus KELVORA_VUSB_TIMING=real \
  benchmarks/manual_upgrade.sh /usr/bin/dfu-util "$image" "$work/manual" |
  sed -n 's/^total_ms=//p')

# Eight slots, each unit kept as made so that a fresh one can be plugged in at once. The bus
# on a RAM file system when there is one: a virtual unit rewrites its files for every block.
bus=$work/bus
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  bus=$(mktemp -d /dev/shm/kelvora-station.XXXXXX)
fi
for i in $(seq 1 "$slots"); do
  tests/instruments/vusb/make_unit.sh --serial "$((1000 + i))" "$work/fresh/unit$i" >/dev/null
  mkdir -p "$bus"
  cp -a "$work/fresh/unit$i" "$bus/unit$i"
  echo never >"$bus/unit$i/back_at"
done
# The folder stays: the virtual bus numbers its ports by the folders it holds.
plug_fresh() { # slot
  local unit=$bus/unit$1 file
  for file in flash.bin otp.bin; do
    cp "$work/fresh/unit$1/$file" "$unit/$file.new"
    mv -f "$unit/$file.new" "$unit/$file"
  done
  rm -f "$unit/state" "$unit/back_at"
  "$announce" add "$1"
}

mkfifo "$work/events"
LD_PRELOAD=$vusb_lib KELVORA_VUSB_DIR=$bus KELVORA_VUSB_TIMING=real \
  "$build/kelvora-flash" station --json ${KELVORA_STATION_VERBOSE:+--verbose} >"$work/events" 2>"$work/station.err" &
station_pid=$!
exec 3<"$work/events"
read -r armed <&3
[[ $armed == *'"armed"'* ]] || { echo "benchmark_station: $armed" >&2; exit 1; }
start=$(ms)
for i in $(seq 1 "$slots"); do plug_fresh "$i"; done
declare -A done_in
total=0
while [ "$total" -lt $((slots * rounds)) ] && read -r line <&3; do
  [[ $line == *'"event":"failed"'* ]] && { echo "benchmark_station: $line" >&2; tail -n 20 "$work/station.err" >&2; exit 1; }
  [[ $line == *'"event":"done"'* ]] || continue
  slot=$(sed -n 's/.*"unit":"1-\([0-9]*\)".*/\1/p' <<<"$line")
  total=$((total + 1))
  done_in[$slot]=$((${done_in[$slot]:-0} + 1))
  echo never >"$bus/unit$slot/back_at"
  "$announce" remove "$slot"
  [ "${done_in[$slot]}" -lt "$rounds" ] && plug_fresh "$slot"
done
end=$(ms)
kill -TERM "$station_pid"
wait "$station_pid" || true
station_pid=""

units=$((slots * rounds))
per_hour=$(awk -v n=$units -v t=$((end - start)) 'BEGIN {printf "%.0f", n * 3600000 / t}')
limit=$(awk -v s="$slots" -v m="$manual_ms" 'BEGIN {printf "%.0f", s * 3600000 / m}')
share=$(awk -v a="$per_hour" -v b="$limit" 'BEGIN {printf "%.1f", 100 * a / b}')
verdict=$(awk -v r="$share" 'BEGIN {print (r >= 95) ? "met" : "missed"}')
{
  echo
  echo "| 7. kelvora-flash station, eight slots, virtual units with real timing | units per hour |"
  echo "|---|---|"
  echo "| the station: $units units, a fresh one plugged in as one is done ($((end - start)) ms) | $per_hour |"
  echo "| limit: eight slots, each unit the time of the commands by hand ($manual_ms ms) | $limit |"
  echo "| the station against the limit | $share % (goal at least 95 %: $verdict) |"
} | tee -a "$summary"
