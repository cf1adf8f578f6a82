#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)

# Linux build: core, platform layer, programs, tests.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# Windows build: cross-compiled with MinGW-w64 for i686, its tests run under Wine in a
# fresh prefix inside the build tree, with a virtual display.
windows_start=$SECONDS
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=OFF
cmake --build build-win32 -j "$jobs"
bash scripts/wine-ctest.sh build-win32 -j "$jobs"
echo "Windows build and tests under Wine: $((SECONDS - windows_start)) s"
