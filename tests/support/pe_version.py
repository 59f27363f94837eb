"""The version block of a PE file (what Explorer's Details tab shows), read
from its resource section with nothing but the standard library.

    info = read_version(path)
    info.file_version      # (1, 0, 0, 0) from the fixed part
    info.strings           # {"FileDescription": "...", "ProductName": "...", ...}
"""
import struct

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class VersionInfo:
    def __init__(self, file_version, product_version, strings):
        self.file_version = file_version
        self.product_version = product_version
        self.strings = strings


def _sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, _ = struct.unpack_from("<II", data, directories + 2 * 8)
    table = optional + optional_size
    sections = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(count)]
    return resource_rva, sections


def _offset(sections, rva):
    for size, address, raw_size, raw in sections:
        if address <= rva < address + max(size, raw_size):
            return raw + rva - address
    raise ValueError(f"RVA {rva:#x} is in no section")


def _first_entry(data, base, directory, wanted=None):
    named, ids = struct.unpack_from("<HH", data, directory + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", data, directory + 16 + 8 * i)
        if wanted is None or name == wanted:
            return base + (target & 0x7FFFFFFF)
    raise ValueError(f"no resource entry {wanted}")


def _blocks(data, start, end):
    """(key, value bytes, children start, block end) of each block from start
    to end."""
    pos = start
    while pos + 6 <= end:
        length, value_length, is_text = struct.unpack_from("<HHH", data, pos)
        if length == 0:
            break
        key_end = data.index(b"\0\0", pos + 6)
        while (key_end - pos - 6) % 2:
            key_end = data.index(b"\0\0", key_end + 1)
        key = data[pos + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if is_text else value_length
        children = (value_start + value_size + 3) & ~3
        yield key, data[value_start:value_start + value_size], children, pos + length
        pos = (pos + length + 3) & ~3


def read_version(path):
    with open(path, "rb") as f:
        data = f.read()
    resource_rva, sections = _sections(data)
    root = _offset(sections, resource_rva)
    level = _first_entry(data, root, root, RT_VERSION)
    level = _first_entry(data, root, level)
    entry = _first_entry(data, root, level)
    rva, size = struct.unpack_from("<II", data, entry)
    start = _offset(sections, rva)
    key, fixed, children, end = next(_blocks(data, start, start + size))
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != FIXED_SIGNATURE:
        raise ValueError("no VS_VERSION_INFO block")

    def version(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<8xIIII", fixed)
    strings = {}
    for key, _, sub, sub_end in _blocks(data, children, end):
        if key != "StringFileInfo":
            continue
        for _, _, table, table_end in _blocks(data, sub, sub_end):
            for name, value, _, _ in _blocks(data, table, table_end):
                strings[name] = value.decode("utf-16-le").rstrip("\0")
    return VersionInfo(version(file_ms, file_ls), version(product_ms, product_ls), strings)
