#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, coverage-instrumented core library) in
# build-fuzz and runs each for a while on a copy of its seed corpus. Exits non-zero when
# any target finds a crash, a sanitizer report, a leak or a hang, when a target, its dictionary
# or its seed corpus is missing, and when a target ran no input at all. Prints each target's
# executions.
#   KELVORA_FUZZ_SECONDS   run time per target (default 20; .ci/run gives 60)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-fuzz
seconds=${KELVORA_FUZZ_SECONDS:-20}
targets=(otp_info fw_info dfu_util_parser dfu_util_progress status_text slots udev_event)
# The same sanitizer options as the test suite's; fast unwinding keeps the fuzzers fast.
# shellcheck source=scripts/sanitize.sh
. "$root/scripts/sanitize.sh"
ASAN_OPTIONS=$ASAN_OPTIONS:fast_unwind_on_malloc=1

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVORA_WERROR=ON -DKELVORA_SANITIZE=address -DKELVORA_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target kelvora_fuzzers -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

failed=()
for target in "${targets[@]}"; do
    echo "== fuzz_$target for ${seconds} s"
    binary=$build/tests/fuzz/fuzz_$target
    if [ ! -x "$binary" ] || [ ! -s "$root/tests/fuzz/$target.dict" ] ||
        ! compgen -G "$root/tests/fuzz/corpus/$target/*" >/dev/null; then
        echo "fuzz_$target: no target binary, dictionary or seed corpus"
        failed+=("$target")
        continue
    fi
    # libFuzzer adds what it finds to its first corpus folder: keep the repository's seeds clean.
    mkdir -p "$work/$target"
    cp "$root/tests/fuzz/corpus/$target/"* "$work/$target/"
    if ! "$binary" -max_total_time="$seconds" -timeout=10 \
        -dict="$root/tests/fuzz/$target.dict" -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$target-" "$work/$target" \
        >"$work/$target.log" 2>&1; then
        tail -n 60 "$work/$target.log"
        failed+=("$target")
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
    added=$(sed -n 's/^stat::new_units_added: *//p' "$work/$target.log")
    if [ -z "$runs" ] || [ "$runs" -eq 0 ]; then
        echo "fuzz_$target ran no input"
        failed+=("$target")
    else
        echo "fuzz_$target: $runs executions, ${added:-0} new corpus entries"
    fi
done

if ((${#failed[@]})); then
    echo "Fuzzing found problems in: ${failed[*]} (inputs under $build/fuzz-artifacts)"
    exit 1
fi
echo "Fuzzing found nothing"
