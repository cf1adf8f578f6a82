#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: wine-ctest.sh BUILD_DIR [ctest options].
# A fresh prefix in the build tree, one warmed-up wineserver whose output is detached
# (one started by a test would inherit ctest's pipe and hold it open), everything under
# a virtual display, and the server stopped at the end.
set -euo pipefail
build=$(cd "$1" && pwd)
shift
wrapper="$build/wine-run.sh"  # the emulator ctest runs the programs with
if [ ! -x "$wrapper" ]; then
    echo "wine-ctest: $wrapper not found: configure $build as a Windows cross build" >&2
    exit 1
fi

if [ -z "${KESTRUNE_WINE_DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" \
        env KESTRUNE_WINE_DISPLAY=1 bash "$0" "$build" "$@"
fi

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
fi
rm -rf "$WINEPREFIX" "$WINEPREFIX.lock" "$WINEPREFIX.log"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# The wrapper makes the prefix (ShowCrashDialog=0) and starts the server detached; the
# echo proves that a Windows program's output comes back.
if [ "$("$wrapper" cmd /c echo ready | tr -d '\r')" != ready ]; then
    echo "wine-ctest: Wine does not run Windows programs here" >&2
    exit 1
fi
ctest --test-dir "$build" --output-on-failure --no-tests=error "$@"
