#!/usr/bin/env python3
"""Checks that the Windows product is what it claims: a 32-bit (PE32)
console program that imports only from KERNEL32.dll, GDI32.dll and the C
runtime, and that takes its printing calls from those DLLs.

usage: inspect_pe.py OBJDUMP EXE
"""

import re
import subprocess
import sys

ALLOWED_DLLS = {"kernel32.dll", "gdi32.dll", "msvcrt.dll"}
EXPECTED_IMPORTS = {
    "kernel32.dll": {"GetProfileStringA"},
    "gdi32.dll": {"CreateDCA", "GetTextExtentPoint32A", "StartDocA", "StartPage",
                  "ExtTextOutA", "EndPage", "EndDoc", "DeleteDC"},
}


def imports(dump):
    """Maps each imported DLL (lower case) to the names taken from it."""
    table, current = {}, None
    for line in dump.splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            current = dll.group(1).lower()
            table[current] = set()
        elif current and re.match(r"\s*$", line):
            current = None
        elif current:
            member = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)", line)
            if member:
                table[current].add(member.group(1))
    return table


def main():
    objdump, exe = sys.argv[1], sys.argv[2]
    dump = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    failures = []
    if "file format pei-i386" not in dump or not re.search(r"Magic\s+010b\s+\(PE32\)", dump):
        failures.append("not a 32-bit PE32 image")
    if not re.search(r"Subsystem\s+00000003\s+\(Windows CUI\)", dump):
        failures.append("not a console (CUI) program")
    table = imports(dump)
    for dll in sorted(set(table) - ALLOWED_DLLS):
        failures.append(f"imports from {dll}")
    for dll, names in EXPECTED_IMPORTS.items():
        missing = names - table.get(dll, set())
        if missing:
            failures.append(f"does not import {', '.join(sorted(missing))} from {dll}")
    for failure in failures:
        print(f"FAIL {exe}: {failure}")
    if not failures:
        print(f"{exe}: PE32 console program importing {', '.join(sorted(table))}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
