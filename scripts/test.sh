#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

jobs=$(nproc)

# Linux build: core, platform layer, programs, tests.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# Windows build: the shipped programs are always cross-built for i686 (their layout checks
# are compiled), and the Windows tests run under Wine in a fresh prefix with a virtual
# display: as i686 programs where this machine runs 32-bit programs, else built again
# for x86_64 and run under 64-bit Wine.
windows_start=$SECONDS
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=OFF
cmake --build build-win32 -j "$jobs"
{ read -r arch; read -r why; } < <(bash scripts/wine-probe.sh)
if [ "$arch" = i686 ]; then
    windows_build=build-win32
else
    windows_build=build-win64
    cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=OFF
    cmake --build build-win64 -j "$jobs"
fi
echo "Windows tests: the $arch suite ($windows_build) under Wine, because $why"
bash scripts/wine-ctest.sh "$windows_build" -j "$jobs" 2>&1 | tee "$windows_build/wine-ctest.log"
echo "Windows tests: the $arch suite: $(grep -E '^[0-9]+% tests passed' \
    "$windows_build/wine-ctest.log" || echo 'no summary')"
echo "Windows build and tests under Wine: $((SECONDS - windows_start)) s"

# The packages: the Debian packages built with Debian's flags, installed on this machine,
# run and purged again; the MSI installed and removed under Wine.
packages_start=$SECONDS
bash scripts/package.sh
bash scripts/package-test.sh
bash scripts/live-systemd-test.sh || { rc=$?; [ "$rc" -eq 77 ] || exit "$rc"; echo "Live systemd test: skipped (the reason is above)"; }
bash scripts/msi-test.sh
echo "Packages built and tested: $((SECONDS - packages_start)) s"

# Sanitizer builds (ASan+UBSan: every Linux test; TSan: the concurrency tests) and the
# fuzz targets, each for about a minute. Any finding fails the run.
bash scripts/sanitize.sh
bash scripts/fuzz.sh 60
