#!/usr/bin/env python3
"""Writes the module-definition file of the failing GDI+ stand-in (tests/stubs/failing_gdiplus.cpp): every
function the launcher imports from gdiplus.dll, as objdump lists them, exported under its own name by the one
function that fails, so the launcher loads the stand-in and its GDI+ start-up fails.

    gdiplus_exports.py OBJDUMP LAUNCHER_EXE OUTPUT_DEF
"""
import re
import subprocess
import sys


def imported_names(objdump, executable):
    listing = subprocess.run([objdump, "-p", executable], check=True, capture_output=True, text=True).stdout
    names = []
    in_gdiplus = False
    for line in listing.splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            in_gdiplus = dll.group(1).lower() == "gdiplus.dll"
            continue
        entry = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)\s*$", line)
        if in_gdiplus and entry:
            names.append(entry.group(1))
    return names


def main():
    objdump, executable, output = sys.argv[1:4]
    names = imported_names(objdump, executable)
    if "GdiplusStartup" not in names:
        sys.exit(f"{executable} does not import GdiplusStartup from gdiplus.dll")
    lines = ["LIBRARY gdiplus.dll", "EXPORTS"] + [f"    {name}=FailingGdiplusCall" for name in sorted(names)]
    with open(output, "w", encoding="ascii") as definition:
        definition.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
