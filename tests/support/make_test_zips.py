#!/usr/bin/env python3
"""Writes the zip archives that the archive tests unpack: good ones, and ones
whose entry names try to leave the destination or whose data is damaged."""
import os
import struct
import sys
import zipfile

SETUP = bytes(range(256)) * 64


def write(path, entries, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name)
            info.compress_type = compression
            z.writestr(info, data)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    p = lambda name: os.path.join(folder, name)
    write(p("good.zip"), [("setup.exe", SETUP), ("data/", b""), ("data/readme.txt", b"hello")])
    write(p("stored.zip"), [("setup.exe", SETUP)], zipfile.ZIP_STORED)
    write(p("utf8.zip"), [("d\u00e9j\u00e0.txt", b"utf8")])
    for name, entry in [("parent", "../evil.txt"), ("parent_backslash", "..\\evil.txt"),
                        ("nested_parent", "sub/../../evil.txt"), ("absolute", "/evil.txt"),
                        ("drive", "C:/evil.txt"), ("stream", "ok.txt:hidden"),
                        ("trailing_dot", "sub/.../evil.txt"), ("device", "sub/CON.txt")]:
        write(p(f"bad_{name}.zip"), [("ok.txt", b"ok"), (entry, b"evil")])
    # A damaged CRC: the data stays readable but does not match its checksum.
    write(p("bad_crc.zip"), [("setup.exe", SETUP)], zipfile.ZIP_STORED)
    data = bytearray(open(p("bad_crc.zip"), "rb").read())
    data[30 + len("setup.exe") + 10] ^= 0xFF
    open(p("bad_crc.zip"), "wb").write(bytes(data))
    open(p("not_a_zip.zip"), "wb").write(b"PK\x03\x04 this is not an archive")
    # An entry whose data ends early: its headers announce the whole program's
    # size and checksum, its compressed data holds the first half only.
    write(p("bad_short.zip"), [("setup.exe", SETUP[:len(SETUP) // 2])])
    data = bytearray(open(p("bad_short.zip"), "rb").read())
    central = data.rfind(b"PK\x01\x02")
    for crc_at, size_at in ((14, 22), (central + 16, central + 24)):
        struct.pack_into("<I", data, crc_at, zipfile.crc32(SETUP))
        struct.pack_into("<I", data, size_at, len(SETUP))
    open(p("bad_short.zip"), "wb").write(bytes(data))
    # Hostile archives. Declared sizes that sum past the unpack bound, on small
    # data; an entry that inflates far past the size it declares; and more
    # entries than an archive may hold.
    write(p("bomb_declared.zip"), [("ok.txt", b"ok"), ("a.bin", b"a"), ("b.bin", b"b")])
    patch_sizes(p("bomb_declared.zip"), {"a.bin": 0xF0000000, "b.bin": 0xF0000000})
    write(p("bomb_lying.zip"), [("ok.txt", b"ok"), ("big.bin", bytes(1 << 20))])
    patch_sizes(p("bomb_lying.zip"), {"big.bin": 100})
    write(p("many_entries.zip"), [(f"f{i}", b"") for i in range(50000)], zipfile.ZIP_STORED)


def patch_sizes(path, sizes):
    """Rewrites the uncompressed size in both headers of the named entries."""
    data = bytearray(open(path, "rb").read())
    with zipfile.ZipFile(path) as z:
        infos = {i.filename: i for i in z.infolist()}
    central = data.find(b"PK\x01\x02")
    while central >= 0:
        name_len = struct.unpack_from("<H", data, central + 28)[0]
        name = data[central + 46:central + 46 + name_len].decode()
        if name in sizes:
            struct.pack_into("<I", data, central + 24, sizes[name])
            struct.pack_into("<I", data, infos[name].header_offset + 22, sizes[name])
        central = data.find(b"PK\x01\x02", central + 46)
    open(path, "wb").write(bytes(data))


if __name__ == "__main__":
    main(sys.argv[1])
