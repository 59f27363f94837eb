#!/usr/bin/env python3
"""Runs the launcher under Wine on the local test bed and shows what it did."""
import os
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from testbed import TestBed  # noqa: E402

BUILD = os.path.join(ROOT, "build")
DEMO = os.path.join(BUILD, "demo")
CONFIG = """[instance]
golbalMutexName=LumenscanLauncherDemo
[build]
localTempPath=%ProgramData%\\Corvane\\Temp
type=exe
"""


def show(title, result):
    print(f"\n== {title}: exit code {result.code}")
    for line in result.debug:
        print(f"   debugger: {line}")


def main():
    bed = TestBed(os.path.join(DEMO, "testbed"))
    if not os.path.isdir(bed.prefix):
        print("creating the Wine prefix for the demo ...")
        bed.make_prefix()
    app = os.path.join(DEMO, "app")
    os.makedirs(app, exist_ok=True)
    exe = os.path.join(app, "LumenscanLauncher.exe")
    shutil.copy(os.path.join(BUILD, "launcher", "LumenscanLauncher.exe"), exe)
    with open(os.path.join(app, "CorvaneLauncherConfig.ini"), "w", newline="\r\n") as f:
        f.write(CONFIG)
    print(f"launcher: {exe}")
    print("configuration next to it:\n   " + CONFIG.strip().replace("\n", "\n   "))

    show("silent run (-s -funid=demo)", bed.run(exe, ["-s", "-funid=demo"]))
    show("windowed run (-funid=demo)", bed.run(exe, ["-funid=demo"]))
    os.remove(os.path.join(app, "CorvaneLauncherConfig.ini"))
    show("run without a configuration file", bed.run(exe, ["-s"]))
    bed.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
