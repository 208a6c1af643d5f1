#!/usr/bin/env bash
# Builds the project with a sanitizer and runs the test suite under it, the same way for
# .ci/run and for a developer; the one place for the sanitizer builds' set-up and run-time
# options. The compile and link flags belong to the KELVORA_SANITIZE option in CMakeLists.txt.
#   scripts/sanitize.sh address [ctest arguments]   ASan + UBSan, build-asan, the whole suite
#   scripts/sanitize.sh thread  [ctest arguments]   TSan, build-tsan, the tests labelled threaded
# Extra arguments go to ctest, e.g. `scripts/sanitize.sh address -R tst_files`.
# Sourced (`. scripts/sanitize.sh`), it only exports the run-time options, for scripts that run
# sanitizer-built programs of their own (scripts/run_fuzzers.sh).

# Run-time options: leaks and undefined behaviour end the test; suppressions are for system
# libraries only and every entry in them says why.
sanitizer_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# intercept_tls_get_addr=0: with GCC 12's run-time, the leak check at exit of a program whose
# threads used thread-local storage (the tool's own processes) can crash in the tracer and turn
# the exit status into 1; the leak check itself stays on.
export ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:intercept_tls_get_addr=0
export LSAN_OPTIONS=suppressions=$sanitizer_root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=suppressions=$sanitizer_root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1
[[ ${BASH_SOURCE[0]} != "$0" ]] && return 0

set -euo pipefail
cd "$sanitizer_root"
root=$PWD

kind=${1:-}
case "$kind" in
  address | thread) shift ;;
  *) echo "usage: scripts/sanitize.sh address|thread [ctest arguments]" >&2; exit 2 ;;
esac
export QT_QPA_PLATFORM=offscreen

if [ "$kind" = address ]; then
  build=$root/build-asan
  selection=()
else
  build=$root/build-tsan
  selection=(-L threaded)
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVORA_WERROR=ON \
  -DKELVORA_SANITIZE="$kind" >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure --no-tests=error -j2 "${selection[@]}" "$@"
