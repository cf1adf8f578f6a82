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

# Sanitizer builds (ASan+UBSan: every Linux test; TSan: the concurrency tests) and the
# fuzz targets, each for about a minute. Any finding fails the run.
bash scripts/sanitize.sh
bash scripts/fuzz.sh 60
