#!/usr/bin/env bash
# Installs what is missing, builds, and runs Kestrune.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"
echo "Nothing to run yet: the first runnable program, kestrune-check --list, comes next." >&2
