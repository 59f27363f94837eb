#!/usr/bin/env python3
"""Makes a delay-import library for a system DLL from its ordinary MinGW import
library: the exported names are read with nm, written to a .def file and given
to dlltool --output-delaylib. Usage: make_delaylib.py NM DLLTOOL IMPLIB DLL OUT"""
import pathlib
import re
import subprocess
import sys


def main(nm, dlltool, implib, dll, out):
    text = subprocess.run([nm, implib], check=True, capture_output=True, text=True).stdout
    # 32-bit import symbols carry the C underscore ("__imp__Name@8"), 64-bit
    # ones do not ("__imp_Name").
    prefix = "__imp_" if "x86_64" in pathlib.Path(dlltool).name else "__imp__"
    names = sorted(set(re.findall(rf"^\S+ I {prefix}(\w+(?:@\d+)?)$", text, re.M)))
    if not names:
        print(f"no exports found in {implib}", file=sys.stderr)
        return 1
    deffile = pathlib.Path(out).with_suffix(".def")
    deffile.write_text(f"LIBRARY {dll}\nEXPORTS\n" + "".join(f"    {n}\n" for n in names))
    subprocess.run([dlltool, "-d", str(deffile), "-D", dll, "-k", "--output-delaylib", out],
                   check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:6]))
