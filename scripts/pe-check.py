#!/usr/bin/env python3
"""Checks a shipped Windows program without running it.

Usage: pe-check.py PROGRAM.exe gui|console [PROGRAM.exe gui|console ...]

Each program must be a PE32 image for i386 with the given subsystem, and every DLL it
imports (directly or delay-loaded) must be one that a bare Windows installation has, so
no MinGW runtime DLL (libgcc, libstdc++, winpthread) is left to chance. Prints one line
per program and exits 1 when any check fails.
"""
import struct
import sys

# DLLs of a bare 32-bit Windows installation that the programs may import.
SYSTEM_DLLS = {
    "advapi32.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll",
    "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "version.dll", "wininet.dll", "ws2_32.dll", "bcrypt.dll",
    "ntdll.dll", "secur32.dll", "userenv.dll", "uxtheme.dll",
}
SUBSYSTEMS = {"gui": 2, "console": 3}


def c_string(data, offset):
    end = data.find(b"\0", offset)
    if offset <= 0 or end < 0:
        raise ValueError("a name runs past the end of the file")
    return data[offset:end].decode("ascii", "replace")


def check(path, want_subsystem):
    data = open(path, "rb").read()
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise ValueError("not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image (no PE signature)")
    machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if machine != 0x14C or magic != 0x10B:
        raise ValueError(f"not PE32 for i386 (machine 0x{machine:x}, optional header 0x{magic:x})")
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    if subsystem != SUBSYSTEMS[want_subsystem]:
        raise ValueError(f"subsystem {subsystem}, expected {SUBSYSTEMS[want_subsystem]} ({want_subsystem})")

    section_table = opt + opt_size
    spans = []
    for i in range(sections):
        vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, section_table + 40 * i + 8)
        spans.append((vaddr, max(vsize, raw_size), raw_ptr))

    def at(rva):
        for vaddr, size, raw in spans:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raw
        raise ValueError(f"address 0x{rva:x} is in no section")

    dlls = []
    # Data directories 1 (imports) and 13 (delay-loaded imports); descriptors of 20 and
    # 32 bytes whose name RVA sits at offsets 12 and 4.
    for index, size, name_at in ((1, 20, 12), (13, 32, 4)):
        rva = struct.unpack_from("<I", data, opt + 96 + 8 * index)[0]
        if rva == 0:
            continue
        offset = at(rva)
        while True:
            descriptor = data[offset:offset + size]
            if len(descriptor) < size or descriptor == b"\0" * size:
                break
            name_rva = struct.unpack_from("<I", descriptor, name_at)[0]
            dlls.append(c_string(data, at(name_rva)))
            offset += size
    foreign = sorted(d for d in dlls if d.lower() not in SYSTEM_DLLS)
    if foreign:
        raise ValueError("imports DLLs a bare Windows lacks: " + ", ".join(foreign))
    return dlls


def main(args):
    if len(args) < 2 or len(args) % 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    ok = True
    for path, subsystem in zip(args[0::2], args[1::2]):
        try:
            dlls = check(path, subsystem)
            print(f"{path}: PE32 i386, {subsystem} subsystem, imports only system DLLs "
                  f"({', '.join(sorted(d.lower() for d in dlls))})")
        except (OSError, ValueError, struct.error) as error:
            print(f"{path}: FAILED: {error}")
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
