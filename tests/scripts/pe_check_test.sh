#!/usr/bin/env bash
# pe-check.py against small programs built here with the i686 cross compiler: a plain C
# program passes as console and fails as GUI; one linked against the MinGW C++ runtime
# DLLs fails, naming them; the same image marked for x86-64 fails as not PE32 for i386.
set -uo pipefail
check="$(cd "$(dirname "$0")/../.." && pwd)/scripts/pe-check.py"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
expect() { # expect WHAT STATUS PATTERN PROGRAM SUBSYSTEM
  local out status
  out=$(python3 "$check" "$4" "$5" 2>&1)
  status=$?
  if [ "$status" -eq "$2" ] && grep -qE -- "$3" <<<"$out"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1 (exit $status): $out" >&2
  fi
}
printf '#include <stdio.h>\nint main(void) { puts("hi"); return 0; }\n' >"$work/c.c"
printf '#include <iostream>\n#include <thread>\nint main() { std::thread t([] {}); t.join(); std::cout << 1; }\n' >"$work/cpp.cpp"
i686-w64-mingw32-gcc -o "$work/c.exe" "$work/c.c" || exit 1
i686-w64-mingw32-g++ -o "$work/cpp.exe" "$work/cpp.cpp" || exit 1
python3 - "$work/c.exe" "$work/x64.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
struct.pack_into("<H", data, pe + 4, 0x8664)
open(sys.argv[2], "wb").write(data)
PY
expect "a C console program" 0 'PE32 i386, console subsystem, imports only system DLLs \(.*kernel32.dll' "$work/c.exe" console
expect "the wrong subsystem" 1 'subsystem 3, expected 2' "$work/c.exe" gui
expect "MinGW runtime DLLs" 1 'bare Windows lacks: .*libstdc\+\+-6.dll' "$work/cpp.exe" console
expect "an x86-64 image" 1 'not PE32 for i386 \(machine 0x8664' "$work/x64.exe" console
expect "not a program" 1 'not a PE image' "$check" console
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
