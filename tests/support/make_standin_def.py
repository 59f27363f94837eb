#!/usr/bin/env python3
"""Writes a .def file that exports, under every name a MinGW import library
offers, one stub of a stand-in DLL: a program that imports the real DLL then
loads the stand-in. Usage: make_standin_def.py NM IMPLIB DLL STUB OUT"""
import re
import subprocess
import sys

nm, implib, dll, stub, out = sys.argv[1:6]
text = subprocess.run([nm, implib], check=True, capture_output=True, text=True).stdout
names = sorted(set(re.findall(r"^\S+ I __imp__(\w+?)(?:@\d+)?$", text, re.M)))
with open(out, "w") as f:
    f.write(f"LIBRARY {dll}\nEXPORTS\n" + "".join(f"    {n}={stub}\n" for n in names))
