#!/usr/bin/env python3
"""Writes a .def file that exports, under every name a MinGW import library
offers, one stub of a stand-in DLL: a program that imports the real DLL then
loads the stand-in. Usage: make_standin_def.py NM IMPLIB DLL STUB OUT"""
import re
import subprocess
import sys

nm, implib, dll, stub, out = sys.argv[1:6]
text = subprocess.run([nm, implib], check=True, capture_output=True, text=True).stdout
# 32-bit import symbols carry the C underscore, 64-bit ones do not.
prefix = "__imp_" if "x86_64" in nm else "__imp__"
names = sorted(set(re.findall(rf"^\S+ I {prefix}(\w+?)(?:@\d+)?$", text, re.M)))
with open(out, "w") as f:
    f.write(f"LIBRARY {dll}\nEXPORTS\n" + "".join(f"    {n}={stub}\n" for n in names))
