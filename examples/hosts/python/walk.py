#!/usr/bin/env python3
"""A minimal Python host: reads FILE through StringTable with ctypes.

    walk.py [--record] [--library PATH] FILE

Prints "index offset length text" per entry, like the C host.

On Linux it loads libvellomar.so with CDLL. On Windows it loads Vellomar.dll
of the interpreter's own width: a 32-bit Python takes the 32-bit DLL, whose
StringTable is __stdcall, through WinDLL; a 64-bit Python takes the 64-bit
DLL, whose one calling convention is the C one, through CDLL. Without
--library, Windows looks for Vellomar.dll beside the script, then on PATH."""
import ctypes
import ctypes.util
import os
import sys

RECORD_TABLE_WORDS = 32768 + 4


def load(path=None):
    windows = sys.platform == "win32"
    if windows:
        beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), "Vellomar.dll")
        found = beside if os.path.isfile(beside) else ctypes.util.find_library("Vellomar")
    else:
        found = ctypes.util.find_library("vellomar")
    path = path or os.environ.get("VELLOMAR_LIBRARY") or found
    if not path:
        sys.exit("walk.py: %s not found; pass --library PATH"
                 % ("Vellomar.dll" if windows else "libvellomar"))
    # ctypes.sizeof(c_void_p) is the interpreter's width, hence the DLL's.
    stdcall = windows and ctypes.sizeof(ctypes.c_void_p) == 4
    library = (ctypes.WinDLL if stdcall else ctypes.CDLL)(path)
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
    # The DLL takes the name in the ANSI code page; Python's own encoding of
    # file names on Windows is UTF-8, which the DLL would misread.
    encoded = name.encode("mbcs") if sys.platform == "win32" else os.fsencode(name)
    count = load(library_path).StringTable(buffer, size, table, encoded, record)
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
