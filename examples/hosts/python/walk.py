#!/usr/bin/env python3
"""A minimal Python host: reads FILE through StringTable with ctypes.

    walk.py [--record] [--library PATH] FILE

Prints "index offset length text" per entry, like the C host."""
import ctypes
import ctypes.util
import os
import sys

RECORD_TABLE_WORDS = 32768 + 4


def load(path=None):
    path = path or os.environ.get("VELLOMAR_LIBRARY") or ctypes.util.find_library("vellomar")
    if not path:
        sys.exit("walk.py: libvellomar not found; pass --library PATH")
    library = ctypes.CDLL(path)
    library.StringTable.restype = ctypes.c_uint32
    library.StringTable.argtypes = [ctypes.POINTER(ctypes.c_uint8), ctypes.c_uint32,
                                    ctypes.POINTER(ctypes.c_uint16), ctypes.c_char_p,
                                    ctypes.c_uint32]
    return library


def escape(text):
    named = {0x5C: "\\\\", 0x09: "\\t", 0x0D: "\\r", 0x0A: "\\n"}
    return "".join(named.get(b) or (chr(b) if 0x20 <= b < 0x7F else "\\x%02X" % b)
                   for b in text)


def main(argv):
    record, library_path, args = 0, None, list(argv)
    if "--record" in args:
        args.remove("--record")
        record = 1
    if "--library" in args:
        at = args.index("--library")
        library_path = args[at + 1]
        del args[at:at + 2]
    if len(args) != 1:
        sys.exit("usage: walk.py [--record] [--library PATH] FILE")
    name = args[0]
    size = os.stat(name).st_size
    buffer = (ctypes.c_uint8 * max(size, 1))()
    table = (ctypes.c_uint16 * RECORD_TABLE_WORDS)()
    count = load(library_path).StringTable(buffer, size, table, os.fsencode(name), record)
    if count == 0:
        sys.exit("%s: could not be read as %d bytes" % (name, size))
    data = bytes(buffer)[:size]
    offset = 0
    for index in range(1, count + 1):
        length = table[index]
        text = data[offset:offset + max(length - 2, 0)]
        print("%d %d %d %s" % (index, offset, length, escape(text)))
        offset += length


if __name__ == "__main__":
    main(sys.argv[1:])
