#!/usr/bin/env bash
# Builds what the benchmarks need (Release, in its own build folder) and runs them all:
#   1. stalls of the GUI thread during a whole upgrade (simulator and virtual unit)
#   2. whole upgrade time against a virtual unit with real timing, next to the same
#      dfu-util commands run by hand
#   3. start-up until the main window is mapped, next to a bare Qt window + `dfu-util -V`
#   4. idle CPU and memory with no unit and with an idle unit attached
# Also the time from the click to the download's start and from the unit's return to the
# verify's start, and:
#   5. the progress bar against the transfer during those upgrades
#   6. the service bench kelvora-flash with eight units side by side (scripts/benchmark_flash.sh)
#   7. the station's units per hour on eight slots (scripts/benchmark_station.sh; needs root)
#   8. udev's events against polling, side by side: plug-in to the unit offered, pulled out
#      to "no unit", plug-in to "Done" against the same commands by hand, idle CPU without a
#      unit (in network and mount namespaces of their own, tests/instruments/vusb/udev_namespace.sh;
#      needs root)
# Prints each figure with its ratio and goal, and writes the summary to
# <build folder>/benchmark-results.md. Takes about 5 minutes after the build.
#   scripts/benchmark.sh
# Environment: KELVORA_BENCHMARK_BUILD (build folder, default build-benchmarks),
# KELVORA_BENCHMARK_RUNS (upgrade and start-up repetitions, default 3 and 5),
# KELVORA_BENCHMARK_IDLE_S (seconds of each idle measurement, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${KELVORA_BENCHMARK_BUILD:-build-benchmarks}
runs=${KELVORA_BENCHMARK_RUNS:-3}
startup_runs=$((runs < 3 ? 7 : 2 * runs + 1))
idle_s=${KELVORA_BENCHMARK_IDLE_S:-60}

scripts/setup.sh test
if ! dpkg-query -W -f='${Status}' libx11-dev 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends libx11-dev
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVORA_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target kelvora-upgrade kelvora-flash kelvora_vusb kelvora_vusb_udev_event \
  upgrade_probe min_window window_wait
build=$(cd "$build" && pwd)
tool=$build/kelvora-upgrade
probe=$build/benchmarks/upgrade_probe
vusb_lib=$build/tests/instruments/vusb/libkelvora_vusb.so
dfu=$build/dfu_util_bundle/dfu-util
image=$root/software/resources/firmware.bin

work=$(mktemp -d)
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The benchmarks' upgrades go into a record of their own, not the user's.
export XDG_DATA_HOME=$work/data
unset KELVORA_SIM_STATE_DIR KELVORA_VUSB_DIR KELVORA_VUSB_TIMING QT_QPA_PLATFORM

xvfb_pid=""
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A display of its own, so the figures include real X11 drawing.
. "$root/scripts/xvfb.sh"
start_xvfb 130 160 || { echo "benchmark: could not start Xvfb" >&2; exit 1; }

value() { sed -n "s/^$1=//p" "$2" | tail -n 1; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {if (NR % 2) print a[(NR+1)/2]; else printf "%.1f\n", (a[NR/2]+a[NR/2+1])/2}'; }
maximum() { tr ' ' '\n' | grep -v '^$' | sort -g | tail -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN {print (v < g) ? "met" : "MISSED"}'; }

# A Lx-21 unit with an older firmware revision, made by the simulator's own configuration.
sim_unit=$work/sim_unit
KELVORA_SIM_STATE_DIR=$sim_unit "$root/simulator/dfu-util_simulator.sh" \
  --dfu-util-command setup_prepared_config older_revision >/dev/null
stage_unit() { # folder
  mkdir -p "$1"
  printf 'serial=3276375B3333\n' >"$1/config"
  { cat "$sim_unit/otp.bin"; head -c 16 /dev/zero | tr '\0' '\377'; } >"$1/otp.bin"
  cp "$sim_unit/flash.bin" "$1/flash.bin"
}
vusb() { # bus folder, command...
  local bus=$1
  shift
  LD_PRELOAD=$vusb_lib KELVORA_VUSB_DIR=$bus KELVORA_VUSB_TIMING=real "$@"
}

summary=$build/benchmark-results.md
{
  echo "Command: \`scripts/benchmark.sh\` ($(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown))"
  echo
  echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
    "$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
  echo
} >"$summary"

echo
echo "== 1 and 2: whole upgrades =="
sim_stall_max="" sim_stall_p99="" sim_stall_cpu="" sim_busy="" sim_control=""
for i in $(seq "$runs"); do
  KELVORA_SIM_STATE_DIR=$work/sim$i "$probe" sim >"$work/sim$i.out" 2>"$work/sim$i.log" \
    || { tail -n 40 "$work/sim$i.log"; exit 1; }
  echo "simulator run $i: $(grep '=' "$work/sim$i.out" | tr '\n' ' ')"
  sim_stall_max+=" $(value stall_max_ms "$work/sim$i.out")"
  sim_stall_p99+=" $(value stall_p99_ms "$work/sim$i.out")"
  sim_stall_cpu+=" $(value longest_stall_cpu_ms "$work/sim$i.out")"
  sim_busy+=" $(value busy_max_ms "$work/sim$i.out")"
  sim_control+=" $(value control_stall_max_ms "$work/sim$i.out")"
done

tool_totals="" manual_totals="" sleeps="" listings="" listing_ms="" stall_max="" stall_p99=""
detect="" stall_cpu="" busy="" control="" click_starts="" verify_starts=""
bar_gap_download="" bar_gap_verify="" timer_gap_download="" timer_gap_verify=""
download_run="" verify_run=""
for i in $(seq "$runs"); do
  mkdir -p "$work/bus$i" "$work/manual_bus$i"
  stage_unit "$work/stage$i"
  vusb "$work/bus$i" "$probe" vusb "$work/stage$i" >"$work/vusb$i.out" 2>"$work/vusb$i.log" \
    || { tail -n 40 "$work/vusb$i.log"; exit 1; }
  echo "tool run $i: $(grep '=' "$work/vusb$i.out" | tr '\n' ' ')"
  stage_unit "$work/manual_bus$i/unit1"
  vusb "$work/manual_bus$i" benchmarks/manual_upgrade.sh "$dfu" "$image" "$work/manual$i" \
    >"$work/manual$i.out"
  echo "by hand run $i: $(tr '\n' ' ' <"$work/manual$i.out")"
  tool_totals+=" $(value plug_to_done_ms "$work/vusb$i.out")"
  detect+=" $(value plug_to_connected_ms "$work/vusb$i.out")"
  sleeps+=" $(value worker_sleep_ms "$work/vusb$i.out")"
  listings+=" $(value listings "$work/vusb$i.out")"
  listing_ms+=" $(value listing_ms "$work/vusb$i.out")"
  stall_max+=" $(value stall_max_ms "$work/vusb$i.out")"
  stall_p99+=" $(value stall_p99_ms "$work/vusb$i.out")"
  stall_cpu+=" $(value longest_stall_cpu_ms "$work/vusb$i.out")"
  busy+=" $(value busy_max_ms "$work/vusb$i.out")"
  control+=" $(value control_stall_max_ms "$work/vusb$i.out")"
  bar_gap_download+=" $(value bar_gap_download_pct "$work/vusb$i.out")"
  bar_gap_verify+=" $(value bar_gap_verify_pct "$work/vusb$i.out")"
  timer_gap_download+=" $(value timer_gap_download_pct "$work/vusb$i.out")"
  timer_gap_verify+=" $(value timer_gap_verify_pct "$work/vusb$i.out")"
  download_run+=" $(value download_run_ms "$work/vusb$i.out")"
  verify_run+=" $(value verify_run_ms "$work/vusb$i.out")"
  manual_totals+=" $(value total_ms "$work/manual$i.out")"
  click_starts+=" $(value click_to_download_ms "$work/vusb$i.out")"
  verify_starts+=" $(value return_to_verify_ms "$work/vusb$i.out")"
done
# Once more with the log window shown and taking every message.
mkdir -p "$work/bus_log"
stage_unit "$work/stage_log"
vusb "$work/bus_log" "$probe" vusb "$work/stage_log" -l >"$work/vusb_log.out" 2>"$work/vusb_log.log" \
  || { tail -n 40 "$work/vusb_log.log"; exit 1; }
echo "tool run with the log window: $(grep '=' "$work/vusb_log.out" | tr '\n' ' ')"
log_stall_max=$(value stall_max_ms "$work/vusb_log.out")

tool_ms=$(echo "$tool_totals" | median)
manual_ms=$(echo "$manual_totals" | median)
sleep_ms=$(echo "$sleeps" | median)
vusb_stall_max=$(echo "$stall_max" | maximum)
vusb_stall_p99=$(echo "$stall_p99" | maximum)
{
  echo "| 1. GUI thread stalls, connected to \"Done\" (5 ms probe timer) | longest | 99th percentile | GUI thread CPU in the longest stall | most GUI thread CPU in one gap | idle thread's longest lateness meanwhile | goal: longest < 16 ms |"
  echo "|---|---|---|---|---|---|---|"
  echo "| simulator ($runs upgrades, worst) | $(echo "$sim_stall_max" | maximum) ms (runs:$sim_stall_max) | $(echo "$sim_stall_p99" | maximum) ms | runs:$sim_stall_cpu ms | $(echo "$sim_busy" | maximum) ms | runs:$sim_control ms | $(verdict "$(echo "$sim_stall_max" | maximum)" 16) |"
  echo "| virtual unit, real dfu-util ($runs upgrades, worst) | $vusb_stall_max ms (runs:$stall_max) | $vusb_stall_p99 ms | runs:$stall_cpu ms | $(echo "$busy" | maximum) ms | runs:$control ms | $(verdict "$vusb_stall_max" 16) |"
  echo "| virtual unit, log window shown (-l, 1 upgrade) | $log_stall_max ms | $(value stall_p99_ms "$work/vusb_log.out") ms | $(value longest_stall_cpu_ms "$work/vusb_log.out") ms | $(value busy_max_ms "$work/vusb_log.out") ms | $(value control_stall_max_ms "$work/vusb_log.out") ms | $(verdict "$log_stall_max" 16) |"
  echo
  echo "The idle thread sleeps 5 ms at a time in the same process and does nothing else: its"
  echo "lateness is the machine's (other programs, the virtual machine's host), not the tool's."
  echo
  echo "| 2. Whole upgrade, virtual unit with real timing (median of $runs) | time |"
  echo "|---|---|"
  echo "| tool: plug-in to \"Done\" | $tool_ms ms (runs:$tool_totals) |"
  echo "| same dfu-util commands by hand | $manual_ms ms (runs:$manual_totals) |"
  echo "| ratio tool / by hand | $(ratio "$tool_ms" "$manual_ms") |"
  echo "| difference | $(awk -v a="$tool_ms" -v b="$manual_ms" 'BEGIN {printf "%.0f", a - b}') ms |"
  echo "| of it the worker's polling waits (500 ms / 1000 ms sleeps) | $sleep_ms ms (runs:$sleeps) |"
  echo "| plug-in to connected | $(echo "$detect" | median) ms |"
  echo "| click to the download's dfu-util started (goal < 50 ms) | $(echo "$click_starts" | median) ms (runs:$click_starts) |"
  echo "| unit read again after \"leave\" to the verify's dfu-util started | $(echo "$verify_starts" | median) ms (runs:$verify_starts) |"
  echo "| listings by the tool in the upgrade | runs:$listings, taking$listing_ms ms |"
  echo
  echo "| 5. Progress bar against the transfer, virtual unit with real timing ($runs upgrades, worst) | download (erase and write) | read-back |"
  echo "|---|---|---|"
  echo "| dfu-util run (median) | $(echo "$download_run" | median) ms | $(echo "$verify_run" | median) ms |"
  echo "| largest gap, bar following dfu-util's progress | $(echo "$bar_gap_download" | maximum) % (runs:$bar_gap_download) | $(echo "$bar_gap_verify" | maximum) % (runs:$bar_gap_verify) |"
  echo "| largest gap, the clock-driven bar of before (100 s / 0.5 s) | $(echo "$timer_gap_download" | maximum) % | $(echo "$timer_gap_verify" | maximum) % |"
  echo
  echo "Gap: the bar's value against the share of the dfu-util run's time that has passed, in"
  echo "percentage points, sampled every 5 ms from the start of the run to its end."
  echo
} >>"$summary"

echo
echo "== 3: start-up until the window is mapped =="
empty_bus=$work/empty_bus
mkdir -p "$empty_bus"
tool_starts="" bare_starts=""
for i in $(seq "$startup_runs"); do
  t=$(vusb "$empty_bus" "$build/benchmarks/window_wait" "Kelvora Firmware Upgrade Tool" 30 "$tool" \
    2>>"$work/startup.log")
  b=$("$build/benchmarks/window_wait" "Minimal window" 30 "$build/benchmarks/min_window" "$dfu" \
    2>>"$work/startup.log")
  echo "run $i: tool $t ms, bare Qt window + dfu-util -V $b ms"
  tool_starts+=" $t"
  bare_starts+=" $b"
done
tool_start=$(echo "$tool_starts" | median)
bare_start=$(echo "$bare_starts" | median)
{
  echo "| 3. Start-up to the main window mapped (median of $startup_runs) | time |"
  echo "|---|---|"
  echo "| kelvora-upgrade (no unit) | $tool_start ms (runs:$tool_starts) |"
  echo "| bare Qt window + one \`dfu-util -V\` | $bare_start ms (runs:$bare_starts) |"
  echo "| ratio | $(ratio "$tool_start" "$bare_start") |"
  echo
} >>"$summary"

echo
echo "== 4: idle cost over $idle_s s (both cases side by side) =="
tck=$(getconf CLK_TCK)
ticks() { awk '{print $14 + $15, $16 + $17}' "/proc/$1/stat"; }
kib() { sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status"; }
idle_bus_empty=$work/idle_empty
idle_bus_unit=$work/idle_unit
mkdir -p "$idle_bus_empty"
stage_unit "$idle_bus_unit/unit1"
# Started directly (no shell function), so that $! is the tool itself. The tool runs once
# per user (its lock lies in the data folder), so each of the two has folders of its own.
mkdir -m 700 "$work/runtime_empty" "$work/runtime_unit"
XDG_RUNTIME_DIR=$work/runtime_empty XDG_DATA_HOME=$work/runtime_empty/data LD_PRELOAD=$vusb_lib KELVORA_VUSB_DIR=$idle_bus_empty \
  KELVORA_VUSB_TIMING=real "$tool" >"$work/idle_empty.log" 2>&1 &
pid_empty=$!
pids+=("$pid_empty")
XDG_RUNTIME_DIR=$work/runtime_unit XDG_DATA_HOME=$work/runtime_unit/data LD_PRELOAD=$vusb_lib KELVORA_VUSB_DIR=$idle_bus_unit \
  KELVORA_VUSB_TIMING=real "$tool" >"$work/idle_unit.log" 2>&1 &
pid_unit=$!
pids+=("$pid_unit")
"$build/benchmarks/min_window" "$dfu" >/dev/null 2>&1 &
pid_bare=$!
pids+=("$pid_bare")
sleep 10
grep -qF "Starting sm_A" "$work/idle_empty.log" \
  || { echo "benchmark: the tool without a unit did not start its worker" >&2; tail -n 40 "$work/idle_empty.log"; exit 1; }
grep -qF "B2: Conn. to (DFU-SE) dev. with diff. FW rev." "$work/idle_unit.log" \
  || { echo "benchmark: the idle unit was not connected" >&2; tail -n 40 "$work/idle_unit.log"; exit 1; }
read -r e_self0 e_child0 < <(ticks "$pid_empty")
read -r u_self0 u_child0 < <(ticks "$pid_unit")
read -r b_self0 _ < <(ticks "$pid_bare")
sleep "$idle_s"
read -r e_self1 e_child1 < <(ticks "$pid_empty")
read -r u_self1 u_child1 < <(ticks "$pid_unit")
read -r b_self1 _ < <(ticks "$pid_bare")
e_rss=$(kib "$pid_empty" VmRSS) e_hwm=$(kib "$pid_empty" VmHWM)
u_rss=$(kib "$pid_unit" VmRSS) u_hwm=$(kib "$pid_unit" VmHWM)
b_rss=$(kib "$pid_bare" VmRSS) b_hwm=$(kib "$pid_bare" VmHWM)
kill -TERM "$pid_empty" "$pid_unit" "$pid_bare"
wait "$pid_bare" || true
wait "$pid_empty" || true
wait "$pid_unit" || true
pids=()
cpu() { awk -v t="$1" -v k="$tck" -v s="$idle_s" 'BEGIN {printf "%.2f", 100 * t / k / s}'; }
{
  echo "| 4. Idle, $idle_s s | tool CPU | dfu-util children CPU | total CPU | VmRSS (peak) |"
  echo "|---|---|---|---|---|"
  echo "| no unit | $(cpu $((e_self1 - e_self0)))% | $(cpu $((e_child1 - e_child0)))% | $(cpu $((e_self1 - e_self0 + e_child1 - e_child0)))% | $((e_rss / 1024)) MiB ($((e_hwm / 1024)) MiB) |"
  echo "| unit attached, idle | $(cpu $((u_self1 - u_self0)))% | $(cpu $((u_child1 - u_child0)))% | $(cpu $((u_self1 - u_self0 + u_child1 - u_child0)))% | $((u_rss / 1024)) MiB ($((u_hwm / 1024)) MiB) |"
  echo "| bare Qt window (yardstick) | $(cpu $((b_self1 - b_self0)))% | - | $(cpu $((b_self1 - b_self0)))% | $((b_rss / 1024)) MiB ($((b_hwm / 1024)) MiB) |"
  echo
  echo "CPU in % of one core; the children's share counts the dfu-util listings once reaped."
} >>"$summary"

echo
echo "== 7: udev's events against polling =="
namespace=$root/tests/instruments/vusb/udev_namespace.sh
declare -A offered gone done_total
for mode in events polling; do
  flag=()
  [ "$mode" = polling ] && flag=(--without-udev)
  o="" g="" d=""
  for i in $(seq "$runs"); do
    mkdir -p "$work/${mode}_bus$i"
    stage_unit "$work/${mode}_stage$i"
    "$namespace" "${flag[@]}" env LD_PRELOAD="$vusb_lib" KELVORA_VUSB_DIR="$work/${mode}_bus$i" \
      KELVORA_VUSB_TIMING=real "$probe" vusb "$work/${mode}_stage$i" >"$work/$mode$i.out" \
      2>"$work/$mode$i.log" || { tail -n 40 "$work/$mode$i.log"; exit 1; }
    [ "$(value bus_events "$work/$mode$i.out")" = "$([ "$mode" = events ] && echo 1 || echo 0)" ] \
      || { echo "benchmark: the $mode run did not watch the bus that way" >&2; exit 1; }
    echo "$mode run $i: $(grep '=' "$work/$mode$i.out" | grep -E 'plug|unplug|listings' | tr '\n' ' ')"
    o+=" $(value plug_to_connected_ms "$work/$mode$i.out")"
    g+=" $(value unplug_to_no_unit_ms "$work/$mode$i.out")"
    d+=" $(value plug_to_done_ms "$work/$mode$i.out")"
  done
  offered[$mode]=$o gone[$mode]=$g done_total[$mode]=$d
done
# The two idle tools side by side, no unit, each in its namespaces (unshare execs, so $! is the
# tool itself once it runs).
mkdir -p "$work/idle_events_bus" "$work/idle_polling_bus"
mkdir -m 700 "$work/runtime_events" "$work/runtime_polling"
XDG_RUNTIME_DIR=$work/runtime_events XDG_DATA_HOME=$work/runtime_events/data "$namespace" env LD_PRELOAD="$vusb_lib" \
  KELVORA_VUSB_DIR="$work/idle_events_bus" "$tool" >"$work/idle_events.log" 2>&1 &
pid_events=$!
pids+=("$pid_events")
XDG_RUNTIME_DIR=$work/runtime_polling XDG_DATA_HOME=$work/runtime_polling/data "$namespace" --without-udev env LD_PRELOAD="$vusb_lib" \
  KELVORA_VUSB_DIR="$work/idle_polling_bus" "$tool" >"$work/idle_polling.log" 2>&1 &
pid_polling=$!
pids+=("$pid_polling")
sleep 10
grep -qF "following udev's events" "$work/idle_events.log" \
  || { echo "benchmark: the tool with udev does not follow its events" >&2; tail -n 20 "$work/idle_events.log"; exit 1; }
grep -qF "udev does not run here" "$work/idle_polling.log" \
  || { echo "benchmark: the tool without udev does not poll" >&2; tail -n 20 "$work/idle_polling.log"; exit 1; }
read -r ev_self0 ev_child0 < <(ticks "$pid_events")
read -r po_self0 po_child0 < <(ticks "$pid_polling")
sleep "$idle_s"
read -r ev_self1 ev_child1 < <(ticks "$pid_events")
read -r po_self1 po_child1 < <(ticks "$pid_polling")
kill -TERM "$pid_events" "$pid_polling"
wait "$pid_events" || true
wait "$pid_polling" || true
pids=()
ev_cpu=$(cpu $((ev_self1 - ev_self0 + ev_child1 - ev_child0)))
po_cpu=$(cpu $((po_self1 - po_self0 + po_child1 - po_child0)))
{
  echo "| 8. udev's events against polling (median of $runs; virtual unit, real timing) | with events | polling (no udev) | goal with events |"
  echo "|---|---|---|---|"
  ev=$(echo "${offered[events]}" | median) po=$(echo "${offered[polling]}" | median)
  echo "| plug-in to the unit offered | $ev ms (runs:${offered[events]}) | $po ms (runs:${offered[polling]}) | <= 250 ms: $(verdict "$ev" 250.001) |"
  ev=$(echo "${gone[events]}" | median) po=$(echo "${gone[polling]}" | median)
  echo "| pulled out to \"no unit\" | $ev ms (runs:${gone[events]}) | $po ms (runs:${gone[polling]}) | <= 150 ms: $(verdict "$ev" 150.001) |"
  ev=$(echo "${done_total[events]}" | median) po=$(echo "${done_total[polling]}" | median)
  echo "| plug-in to \"Done\" | $ev ms | $po ms | |"
  echo "| ratio to the same commands by hand ($manual_ms ms, section 2) | $(ratio "$ev" "$manual_ms") | $(ratio "$po" "$manual_ms") | <= 1.03: $(verdict "$(ratio "$ev" "$manual_ms")" 1.03001) |"
  echo "| idle CPU without a unit, $idle_s s, tool and its dfu-util children | $ev_cpu% | $po_cpu% | <= 0.1%: $(verdict "$ev_cpu" 0.10001) |"
  echo
} >>"$summary"

scripts/benchmark_flash.sh "$build" "$summary"
scripts/benchmark_station.sh "$build" "$summary"

echo
echo "==== summary ($summary) ===="
cat "$summary"
