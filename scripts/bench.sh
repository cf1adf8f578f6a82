#!/usr/bin/env bash
# Builds the benchmarks with optimisation in a tree of their own, runs them, and prints
# one table: each figure beside the reference it was measured against in the same run,
# and their ratio. Every benchmark's own output is kept in build-bench/bench.log.
# Benchmarks print; they are not timed tests and never fail on a figure.
# Usage: bash scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build-bench
benches=(linux_scan_bench origin_bench cycle_bench baseline_io_bench rss_bench watch_bench)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BUILD_QT=OFF \
    -DKESTRUNE_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${benches[@]}"

log="$build/bench.log"
: >"$log"
for bench in "${benches[@]}"; do
    echo "running $bench" >&2
    {
        echo "== $bench"
        "$build/bench/$bench"
    } >>"$log" 2>&1 || {
        cat "$log" >&2
        echo "$bench failed" >&2
        exit 1
    }
done

# Under Wine: the Windows tray program's reaction to a store change, built for the
# architecture this machine runs and with the Windows tests' own build type: the
# figure is the wait for a settled change plus a scan under Wine, not the compiler's.
{ read -r arch; read -r why; } < <(bash scripts/wine-probe.sh)
wbuild="build-bench-win-$arch"
cmake -S . -B "$wbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=ON >/dev/null
cmake --build "$wbuild" -j "$(nproc)" --target tray_change_latency_bench
echo "running tray_change_latency_bench ($arch under Wine, because $why)" >&2
program="Z:$(realpath "$wbuild/kestrune.exe" | tr / '\\')"
{
    echo "== tray_change_latency_bench ($arch)"
    xvfb-run -a -s "-screen 0 1024x768x24" "$wbuild/wine-run.sh" \
        "$wbuild/bench/tray_change_latency_bench.exe" "$program" 10
} >>"$log" 2>&1 || {
    cat "$log" >&2
    echo "tray_change_latency_bench failed" >&2
    exit 1
}
WINEPREFIX="$PWD/$wbuild/wineprefix" wineserver -k >/dev/null 2>&1 || true

# The rows, as one table.
grep '^ROW' "$log" | awk -F'\t' '
    BEGIN {
        fmt = "%-52s %14s   %-38s %14s %8s\n"
        printf fmt, "measured", "figure", "reference (same run)", "figure", "ratio"
        line = sprintf("%172s", ""); gsub(/ /, "-", line); print substr(line, 1, 132)
    }
    { printf fmt, $2, $3, $4, $5, $6 }'
