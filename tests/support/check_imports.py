#!/usr/bin/env python3
"""Checks that a program is a 32-bit (or, given pei-x86-64, the 64-bit test
build's) GUI-subsystem PE whose import table names only KnownDLLs: the loader
resolves every other import before main() runs, looking in the program's own
folder first, where a browser saves downloads. The rest is bound late."""
import re
import subprocess
import sys

# The KnownDLLs of every Windows from 7 on (and ntdll, which is always loaded).
KNOWN_DLLS = {
    "advapi32.dll", "comdlg32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
    "ws2_32.dll",
}


def main(objdump, program, image_format="pei-i386"):
    text = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                          text=True).stdout
    problems = []
    if not re.search(rf"file format {re.escape(image_format)}\b", text):
        problems.append(f"not a {image_format} image")
    if not re.search(r"^Subsystem\s+0+2\b", text, re.M):
        problems.append("not a GUI-subsystem program")
    dlls = [m.lower() for m in re.findall(r"DLL Name:\s*(\S+)", text)]
    if not dlls:
        problems.append("no import table found")
    for dll in dlls:
        if dll not in KNOWN_DLLS:
            problems.append(f"imports a DLL that is not a KnownDLL: {dll}")
    print("imports:", ", ".join(dlls))
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
