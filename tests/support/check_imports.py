#!/usr/bin/env python3
"""Checks that a program is a 32-bit (or, given pei-x86-64, the 64-bit test
build's) GUI-subsystem PE whose import table names
only DLLs that every Windows installation has: users download it alone."""
import re
import subprocess
import sys

SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll",
    "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "secur32.dll",
    "shell32.dll", "shlwapi.dll", "user32.dll", "userenv.dll", "version.dll", "winhttp.dll",
    "ws2_32.dll", "urlmon.dll", "wininet.dll", "ntdll.dll",
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
        if dll not in SYSTEM_DLLS:
            problems.append(f"imports a non-system DLL: {dll}")
    print("imports:", ", ".join(dlls))
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
