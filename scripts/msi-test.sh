#!/usr/bin/env bash
# Installs the MSI (scripts/package.sh msi) with msiexec under Wine in a fresh prefix,
# checks the files, the HKLM Run value and the Start-menu shortcut, uninstalls it, and
# checks that everything is gone but the stored baseline key. Uses the Wine that
# scripts/wine-probe.sh picks: 64-bit msiexec installs the 32-bit programs as well.
set -uo pipefail
cd "$(dirname "$0")/.."
msi=$(ls build-win32/kestrune-*-x86.msi)
{ read -r arch; read -r why; } < <(bash scripts/wine-probe.sh)
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/kestrune-msi-test.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ "$arch" = i686 ]; then
    export WINEARCH=win32
    wine=wine
    programs="$WINEPREFIX/drive_c/Program Files/Kestrune"
else
    export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    wine=/usr/lib/wine/wine64
    programs="$WINEPREFIX/drive_c/Program Files (x86)/Kestrune"  # a 32-bit package
fi
echo "MSI test: $msi under $wine ($WINEARCH), because $why"
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"' EXIT
passed=0
failed=0
expect() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; passed=$((passed + 1)); else echo "FAILED: $what" >&2; failed=$((failed + 1)); fi
}
w() { "$wine" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
baseline_key='HKLM\Software\Brimtal Software\Kestrune'
shortcuts() { find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/Kestrune.lnk'; }

w cmd /c exit
# A baseline stored earlier, where the 32-bit programs keep it.
w reg add "$baseline_key" /v "Certificate Count" /t REG_DWORD /d 3 /f /reg:32 >/dev/null
w reg add 'HKCU\Software\Brimtal Software\Kestrune' /v "Certificate Count" /t REG_DWORD /d 4 /f >/dev/null

"$wine" msiexec /i "$msi" /qn </dev/null >/dev/null 2>&1
expect "msiexec /i /qn succeeds" [ $? -eq 0 ]
expect "both programs are under Program Files" \
    test -s "$programs/kestrune.exe" -a -s "$programs/kestrune-check.exe"
w reg query "$run_key" /v Kestrune /reg:32 >"$WINEPREFIX/run.txt"
grep Kestrune "$WINEPREFIX/run.txt"
expect "the Run value starts the installed tray program" \
    grep -qF 'Kestrune\kestrune.exe"' "$WINEPREFIX/run.txt"
shortcuts
expect "a Start-menu shortcut exists" [ -n "$(shortcuts)" ]

"$wine" msiexec /x "$msi" /qn </dev/null >/dev/null 2>&1
expect "msiexec /x /qn succeeds" [ $? -eq 0 ]
expect "the programs are gone" [ ! -e "$programs/kestrune.exe" -a ! -e "$programs/kestrune-check.exe" ]
expect "the Run value is gone" bash -c "! '$wine' reg query '$run_key' /v Kestrune /reg:32 </dev/null >/dev/null 2>&1"
expect "the shortcut is gone" [ -z "$(shortcuts)" ]
expect "the machine's baseline key survives" \
    bash -c "w() { '$wine' \"\$@\" </dev/null 2>/dev/null; }; w reg query '$baseline_key' /v 'Certificate Count' /reg:32 | grep -q 0x3"
expect "the user's baseline key survives" \
    bash -c "'$wine' reg query 'HKCU\\Software\\Brimtal Software\\Kestrune' /v 'Certificate Count' </dev/null 2>/dev/null | grep -q 0x4"
echo "MSI: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
