#!/usr/bin/env bash
# Installs what is missing, builds, and runs Kestrune: the tray program where a display
# exists, else kestrune-check: one check of this machine's certificate stores against
# the stored baseline (extra arguments go to kestrune-check, for example --list or --json).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=OFF \
    -DKESTRUNE_BUILD_BENCH=OFF
cmake --build build-run -j "$(nproc)"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build-run/kestrune
fi
echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running kestrune-check." >&2
exec build-run/kestrune-check "$@"
