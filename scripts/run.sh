#!/usr/bin/env bash
# Installs what is missing, builds, and runs kestrune-check --list on this machine's
# certificate stores. Extra arguments go to kestrune-check (for example --json).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=OFF
cmake --build build-run -j "$(nproc)"
exec build-run/kestrune-check --list "$@"
