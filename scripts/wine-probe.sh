#!/usr/bin/env bash
# Which Windows test suite this machine can run: prints "i686" when it runs 32-bit
# programs (the shipped programs' own architecture, under Wine's 32-bit loader), else
# "x86_64" (the same tests built for 64-bit Windows, under 64-bit Wine); then one line
# that says why. KESTRUNE_WINE32=no takes the 64-bit path on any machine.
set -uo pipefail
loader32=/usr/lib/wine/wineserver32  # an i686 program from wine32:i386

if [ "${KESTRUNE_WINE32:-}" = no ]; then
    echo x86_64
    echo "the 32-bit path is switched off (KESTRUNE_WINE32=no)"
    exit 0
fi
if [ ! -e "$loader32" ]; then
    echo x86_64
    echo "Wine's 32-bit loader is not installed ($loader32 is missing)"
    exit 0
fi
if version=$("$loader32" --version 2>&1); then
    echo i686
    echo "this machine runs 32-bit programs ($loader32 --version: $version)"
else
    echo x86_64
    echo "this machine does not run 32-bit programs ($loader32 --version: ${version##*: })"
fi
