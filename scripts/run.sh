#!/usr/bin/env bash
# Installs what is missing, builds, and runs Kestrune: the tray program where a display
# exists, the headless kestrune-check where none does.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/platform/qt/kestrune
fi

check=$(find build -type f -name kestrune-check -perm -u+x | head -n 1)
if [ -z "$check" ]; then
  echo "No display, and kestrune-check is not built yet: nothing to run." >&2
  exit 2
fi
echo "No display (DISPLAY and WAYLAND_DISPLAY are unset): running kestrune-check instead." >&2
if [ "$#" -eq 0 ]; then
  set -- --list
fi
exec "$check" "$@"
