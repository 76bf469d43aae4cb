#!/usr/bin/env bash
# Installs what is needed, checks that every C++ file is formatted (scripts/format.sh --check),
# then builds and runs every test three times: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build and a ThreadSanitizer build; then a short
# run of each fuzzer, and the Windows build's tests under Wine (scripts/test-windows.sh;
# VANTREL_SKIP_WINDOWS=1 leaves it out). Exit status 0 only when all pass.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== formatting"
scripts/format.sh --check

jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# A data race, a lock-order inversion or a leaked thread fails the test that shows it.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}

# How long each step took, for keeping CI within its time.
step_start=$SECONDS
took() {
    echo "== $1 took $((SECONDS - step_start)) s (total $((SECONDS / 60)) min)"
    step_start=$SECONDS
}

build_and_test() {
    local dir=$1
    shift
    echo "== $dir: configure and build"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    took "$dir: build"
    echo "== $dir: tests"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
    took "$dir: tests"
}

build_and_test build -DCMAKE_BUILD_TYPE=RelWithDebInfo
build_and_test build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON -DVANTREL_BENCH=OFF
build_and_test build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TSAN=ON -DVANTREL_BENCH=OFF

echo "== fuzzers: a short run of each"
scripts/fuzz.sh "${VANTREL_FUZZ_SECONDS:-15}"
took "fuzzers"

if [[ "${VANTREL_SKIP_WINDOWS:-0}" != 1 ]]; then
    scripts/test-windows.sh
    took "windows"
fi
