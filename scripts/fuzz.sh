#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang, ASan and UBSan, and runs each
# over its seed corpus for a bounded time. A crash, a leak, an over-read, a timeout or a
# failed expectation ends the run with a non-zero status; the input that did it is kept
# as build-fuzz/artifacts/<target>-crash-... (replay: build-fuzz/tests/fuzz/<target> FILE).
# Usage: bash scripts/fuzz.sh [seconds per target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=build-fuzz
start=$SECONDS

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKESTRUNE_FUZZ=ON \
    -DKESTRUNE_BUILD_QT=OFF -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_targets
mkdir -p "$build/artifacts"

for source in tests/fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    work="$build/corpus/$name"  # what the fuzzer finds goes here; the seeds stay as they are
    log="$build/$name.log"
    mkdir -p "$work"
    echo "fuzzing $name for $seconds s"
    if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/tests/fuzz/$name" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
        "$work" "tests/fuzz/corpus/$name" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "fuzz target $name failed; log: $log" >&2
        exit 1
    fi
    grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$log" |
        sed 's/^/    /'
done
echo "Fuzz targets built and run: $((SECONDS - start)) s"
