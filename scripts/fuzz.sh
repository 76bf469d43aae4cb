#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build folder of their own and runs each for a
# bounded time on its seed corpus (fuzz/corpus/<target>, never modified).
#
#   scripts/fuzz.sh [seconds-per-target]     (default 60)
#
# Exits non-zero when a target crashes, leaks, hangs (a single input running over 10 s) or
# fails to build. Crashing inputs are kept in build-fuzz/artifacts/.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VANTREL_FUZZ_BUILD:-$root/build-fuzz}"
targets=(index_reader property_block registry_text syncml_xml syncml_wbxml)

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DVANTREL_FUZZ=ON \
    -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! ninja -C "$build" -j2 "${targets[@]/#/fuzz_}" >"$build/build.log" 2>&1; then
    tail -n 60 "$build/build.log" >&2
    exit 1
fi

mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
    scratch="$(mktemp -d)"
    echo "fuzz.sh: running fuzz_$target for ${seconds}s"
    # New inputs go to the scratch folder, the first corpus argument.
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz/fuzz_$target" "$scratch" "$root/fuzz/corpus/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" 2>"$build/fuzz_$target.log"; then
        echo "fuzz.sh: fuzz_$target FAILED; see $build/fuzz_$target.log" >&2
        tail -n 40 "$build/fuzz_$target.log" >&2
        status=1
    else
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)' \
            "$build/fuzz_$target.log" || true
    fi
    rm -rf "$scratch"
done
exit "$status"
