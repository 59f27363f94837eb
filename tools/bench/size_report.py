"""Size of the launcher exe and its largest contributors, from the link map.

Usage: size_report.py EXE MAP
Sums the input sections that made it into the image by the archive (or
object) they came from; the last line gives the size and its ratio to the
800 KiB goal.
"""
import collections
import os
import re
import sys

GOAL = 800 * 1024
ENTRY = re.compile(r"^ (\.\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")


def contributor(path):
    path = path.strip()
    m = re.match(r"^(.*?\.a)\((.*)\)$", path)
    return os.path.basename(m.group(1)) if m else os.path.basename(path)


def contributors(map_path):
    sizes = collections.Counter()
    in_map = False
    pending = None
    with open(map_path, errors="replace") as f:
        for line in f:
            if line.startswith("Linker script and memory map"):
                in_map = True
                continue
            if not in_map:
                continue
            m = ENTRY.match(line)
            if m:
                name = m.group(1) or pending
                pending = None
                if name and not name.startswith(".debug") and int(m.group(2), 16):
                    sizes[contributor(m.group(4))] += int(m.group(3), 16)
                continue
            s = line.strip()
            pending = s if line.startswith(" .") and " " not in s else None
    return sizes


def main():
    exe, map_path = sys.argv[1], sys.argv[2]
    size = os.path.getsize(exe)
    print(f"{exe}: {size} bytes ({size / 1024:.1f} KiB)")
    print("largest contributors (bytes of code and data, by archive):")
    for name, n in contributors(map_path).most_common(10):
        print(f"  {n:>9}  {name}")
    print(f"size {size} bytes = {size / 1024:.1f} KiB, {size / GOAL:.2f} of the 800 KiB goal")
    return 0


if __name__ == "__main__":
    sys.exit(main())
