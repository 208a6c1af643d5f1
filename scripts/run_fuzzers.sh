#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, coverage-instrumented core library) in
# build-fuzz and runs each for a while on a copy of its seed corpus. Exits non-zero when
# any target finds a crash, a sanitizer report, a leak or a hang.
#   KELVORA_FUZZ_SECONDS   run time per target (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-fuzz
seconds=${KELVORA_FUZZ_SECONDS:-20}
targets=(otp_info fw_info dfu_util_parser dfu_util_progress)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVORA_WERROR=ON -DKELVORA_SANITIZE=address -DKELVORA_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target kelvora_fuzzers -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

failed=()
for target in "${targets[@]}"; do
    echo "== fuzz_$target for ${seconds} s"
    # libFuzzer adds what it finds to its first corpus folder: keep the repository's seeds clean.
    mkdir -p "$work/$target"
    cp "$root/tests/fuzz/corpus/$target/"* "$work/$target/"
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0 \
        "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -dict="$root/tests/fuzz/$target.dict" -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$target-" "$work/$target" \
        >"$work/$target.log" 2>&1; then
        tail -n 60 "$work/$target.log"
        failed+=("$target")
    else
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$work/$target.log" || true
    fi
done

if ((${#failed[@]})); then
    echo "Fuzzing found problems in: ${failed[*]} (inputs under $build/fuzz-artifacts)"
    exit 1
fi
echo "Fuzzing found nothing"
