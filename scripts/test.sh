#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test. Ends with a summary:
# how many tests each suite ran, which Windows build ran its suite under which Wine, and
# every optional suite that was not run, with the reason (the setup report says which
# optional packages this machine could not have).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
summary=()
note() { summary+=("$*"); }
finish() {
  local status=$?
  echo
  echo "==== Summary ===="
  printf '%s\n' "${summary[@]}"
  echo "Test command: $((SECONDS - start)) s, exit status $status"
}
trap finish EXIT
passed_line() { # the last "N% tests passed ..." or "N passed, N failed" line of a log
  grep -E '^[0-9]+% tests passed|^[A-Za-z ]*:? ?[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1 ||
    echo "no count found in $1"
}

bash scripts/setup.sh test
report=build-setup/report.txt
path_state() { awk -F'\t' -v n="$1" '$1 == n { print $2 }' "$report"; }
path_why() { awk -F'\t' -v n="$1" '$1 == n { print $3 }' "$report"; }

jobs=$(nproc)

# Linux build: core, platform layer, programs, tests.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" 2>&1 | tee build/ctest.log
note "Linux suite (build): $(passed_line build/ctest.log)"

# Windows build: the shipped programs are always cross-built for i686 and checked without
# running them (PE32 for i386, subsystem, only system DLLs imported). Their tests run under
# Wine in a fresh prefix with a virtual display: as i686 programs where this machine runs
# 32-bit programs and has 32-bit Wine, else built again for x86_64 and run under 64-bit
# Wine.
windows_start=$SECONDS
cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=OFF
cmake --build build-win32 -j "$jobs"
python3 scripts/pe-check.py build-win32/kestrune.exe gui build-win32/kestrune-check.exe console |
  tee build-win32/pe-check.log
note "Shipped i686 programs, checked statically:"
while read -r line; do note "  $line"; done <build-win32/pe-check.log

windows_build=""
if [ "$(path_state wine)" != installed ]; then
  note "Windows suite: NOT RUN, no Wine: $(path_why wine)"
else
  { read -r arch; read -r why; } < <(bash scripts/wine-probe.sh)
  if [ "$arch" = i686 ]; then
    windows_build=build-win32
    wine_used="32-bit Wine ($(wine --version 2>/dev/null || echo wine))"
  else
    [ "$(path_state wine32)" = installed ] || why="$(path_why wine32)"
    windows_build=build-win64
    wine_used="64-bit Wine ($(/usr/lib/wine/wine64 --version 2>/dev/null || echo wine64))"
    cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=OFF
    cmake --build build-win64 -j "$jobs"
  fi
  echo "Windows tests: the $arch suite ($windows_build) under $wine_used, because $why"
  bash scripts/wine-ctest.sh "$windows_build" -j "$jobs" 2>&1 | tee "$windows_build/wine-ctest.log"
  note "Windows suite: the $arch build ($windows_build) under $wine_used: $(passed_line "$windows_build/wine-ctest.log")"
  if [ "$arch" != i686 ]; then
    note "  the shipped i686 build's suite was not run: $why"
  fi
fi
echo "Windows build and tests: $((SECONDS - windows_start)) s"

# The packages: the Debian packages built with Debian's flags, installed on this machine,
# run and purged again; the MSI installed and removed under Wine.
packages_start=$SECONDS
bash scripts/package.sh
bash scripts/package-test.sh 2>&1 | tee build-package/package-test.log
note "Debian packages: $(passed_line build-package/package-test.log)"
# The live test boots a Debian 12 tree under systemd-nspawn; status 77 is a machine that
# cannot, with the reason on its last line.
if [ "$(path_state live)" != installed ]; then
  note "Packages under a booted systemd: NOT RUN: $(path_why live)"
else
  live_status=0
  bash scripts/live-systemd-test.sh 2>&1 | tee build-package/live-systemd.log || live_status=$?
  if [ "$live_status" -eq 77 ]; then
    note "Packages under a booted systemd: NOT RUN: $(tail -n 1 build-package/live-systemd.log)"
  elif [ "$live_status" -ne 0 ]; then
    exit "$live_status"
  else
    note "Packages under a booted systemd: $(passed_line build-package/live-systemd.log)"
  fi
fi
if [ -n "$windows_build" ]; then
  bash scripts/msi-test.sh 2>&1 | tee build-win32/msi-test.log
  note "MSI under Wine: $(passed_line build-win32/msi-test.log)"
else
  note "MSI under Wine: NOT RUN, no Wine: $(path_why wine)"
fi
echo "Packages built and tested: $((SECONDS - packages_start)) s"

# Sanitizer builds (ASan+UBSan: every Linux test; TSan: the concurrency tests) and the
# fuzz targets, each for about a minute. Any finding fails the run.
bash scripts/sanitize.sh address 2>&1 | tee build/asan.log
note "ASan+UBSan (build-asan): $(passed_line build/asan.log)"
bash scripts/sanitize.sh thread 2>&1 | tee build/tsan.log
note "TSan (build-tsan): $(grep -E '^[0-9]+% tests passed' build/tsan.log | tr '\n' ';' | sed 's/;$//; s/;/; /g')"
bash scripts/fuzz.sh 60 2>&1 | tee build/fuzz.log
note "Fuzz targets: $(grep -c '^fuzzing ' build/fuzz.log) run for 60 s each without a finding"
