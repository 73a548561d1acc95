"""Reads a text file through Vellomar's StringTable and gives its entries.

    >>> table = vellomar.read("examples/record.txt", record=True)
    >>> table.count, table[0]
    (8, b'Inventory 2026')

One call of the library per read(): the file goes whole into a buffer, a
"_PW_"-marked file is restored in place, and the library's table of 16-bit
lengths comes back as a Table. A 0 result raises an exception instead.
"""
import ctypes
import errno
import os
import stat
import sys
from typing import Iterator, List, Optional, Tuple, Union, overload

__all__ = ["Error", "Table", "read", "load_library",
           "PLAIN_ENTRY_LIMIT", "RECORD_ENTRY_LIMIT", "END_MARKER"]

PLAIN_ENTRY_LIMIT = 16384
RECORD_ENTRY_LIMIT = 32768
END_MARKER = 0xFC19
# A marked file is indexed in record mode whatever is asked, so the table
# always has the record mode's room.
_TABLE_WORDS = RECORD_ENTRY_LIMIT + 4
_MARK = b"_PW_"
_LINE_BREAK = 2

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(OSError):
    """StringTable returned 0 for a file that exists.

    ``filename`` is the name as given; ``reason`` says what could be found
    out about the file after the call; ``errno`` is set where the cause is
    one the system names (no read access, a folder)."""

    def __init__(self, filename: Path, reason: str, code: Optional[int] = None) -> None:
        super().__init__(code, reason)
        self.filename = filename
        self.reason = reason

    def __str__(self) -> str:
        return "%s: %s" % (os.fsdecode(os.fspath(self.filename)), self.reason)


class Table:
    """What one StringTable call gave.

    ``count`` is the call's result; ``lengths`` the table's words 1 to count
    as the library wrote them (each entry's length, line break included);
    ``data`` the buffer after the call, decoded when ``marked``. Indexing and
    iteration give each entry's text without its line break, as ``bytes``."""

    __slots__ = ("count", "lengths", "data", "marked", "record", "_offsets")

    def __init__(self, count: int, lengths: Tuple[int, ...], data: bytes,
                 marked: bool, record: bool) -> None:
        self.count = count
        self.lengths = lengths
        self.data = data
        self.marked = marked
        self.record = record or marked
        offsets = [0] * len(lengths)
        for index in range(1, len(lengths)):
            offsets[index] = offsets[index - 1] + lengths[index - 1]
        self._offsets = offsets

    @property
    def limit(self) -> int:
        """The entry limit of the mode the file was indexed in."""
        return RECORD_ENTRY_LIMIT if self.record else PLAIN_ENTRY_LIMIT

    @property
    def complete(self) -> bool:
        """Whether the entries cover the whole text. False past the entry
        limit (the table then describes only the start of the text), and
        where an entry of 64 KiB or more left only the low 16 bits of its
        length: the lengths of a whole text add up to its size plus 2 (an
        empty text is one entry of 3)."""
        # An empty text is the one entry of 3.
        covered = sum(self.lengths) == len(self.data) + _LINE_BREAK if self.data else True
        return self.count <= self.limit and covered

    def offset(self, index: int) -> int:
        """Where entry ``index`` starts in ``data``, by the lengths before it."""
        return self._offsets[range(self.count)[index]]

    def __len__(self) -> int:
        return self.count

    @overload
    def __getitem__(self, index: int) -> bytes: ...

    @overload
    def __getitem__(self, index: slice) -> List[bytes]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[bytes, List[bytes]]:
        if isinstance(index, slice):
            return [self[i] for i in range(self.count)[index]]
        index = range(self.count)[index]
        start = self._offsets[index]
        # Clipped at the text's end: past a wrapped length the offsets
        # are no longer the text's.
        return self.data[start:start + max(self.lengths[index] - _LINE_BREAK, 0)]

    def __iter__(self) -> Iterator[bytes]:
        return (self[i] for i in range(self.count))

    def __repr__(self) -> str:
        return "<vellomar.Table count=%d%s%s>" % (
            self.count, " marked" if self.marked else "",
            "" if self.complete else " incomplete")


def _default_library() -> Optional[str]:
    here = os.path.dirname(os.path.abspath(__file__))
    name = "Vellomar.dll" if sys.platform == "win32" else "libvellomar.so"
    beside = os.path.join(here, name)
    if os.path.isfile(beside):
        return beside
    import ctypes.util
    return ctypes.util.find_library("Vellomar" if sys.platform == "win32" else "vellomar")


_loaded = {}


def load_library(path: Optional[str] = None) -> "ctypes.CDLL":
    """The library with StringTable declared: ``path``, else the one
    ``VELLOMAR_LIBRARY`` names, else the one in this package (the wheel's),
    else the system's. Loaded once per path."""
    path = path or os.environ.get("VELLOMAR_LIBRARY") or _default_library()
    if not path:
        raise OSError("the Vellomar library was not found: set VELLOMAR_LIBRARY")
    if path not in _loaded:
        # A 32-bit Python loads the 32-bit DLL, whose StringTable is
        # __stdcall; everywhere else the call has the C convention.
        stdcall = sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4
        library = (ctypes.WinDLL if stdcall else ctypes.CDLL)(path)  # type: ignore[attr-defined]
        library.StringTable.restype = ctypes.c_uint32
        library.StringTable.argtypes = [ctypes.POINTER(ctypes.c_uint8), ctypes.c_uint32,
                                        ctypes.POINTER(ctypes.c_uint16), ctypes.c_char_p,
                                        ctypes.c_uint32]
        _loaded[path] = library
    return _loaded[path]


def _encoded(path: Path) -> bytes:
    name = os.fspath(path)
    if isinstance(name, bytes):
        return name
    # The DLL reads the name in the ANSI code page, not in Python's UTF-8.
    return name.encode("mbcs") if sys.platform == "win32" else os.fsencode(name)


def _cause(path: Path, expected: int) -> OSError:
    """Why a call gave 0, from what the file is now."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise
    except OSError as failure:
        return Error(path, failure.strerror or "cannot be opened", failure.errno)
    if stat.S_ISDIR(info.st_mode):
        return Error(path, "is a folder, not a file", errno.EISDIR)
    if not stat.S_ISREG(info.st_mode):
        return Error(path, "is not a regular file")
    if info.st_size >= 1 << 32:
        return Error(path, "is %d bytes long: 4 GiB or longer" % info.st_size)
    if info.st_size != expected:
        return Error(path, "has %d bytes, %d expected" % (info.st_size, expected))
    if not os.access(path, os.R_OK):
        return Error(path, "no read access", errno.EACCES)
    return Error(path, "could not be read as %d bytes" % expected)


def read(path: Path, *, record: bool = False, expected_size: Optional[int] = None) -> Table:
    """Reads ``path`` with one StringTable call and returns its Table.

    ``record`` asks for record mode (a marked file is indexed in record mode
    either way). ``expected_size`` is the size the file must have, as a host
    passes it; None takes the file's own size just before the call, so that
    a file that changes under the call still fails the library's check.

    Raises FileNotFoundError for a missing file and Error for every other 0
    result; a size mismatch also puts the library's own message on standard
    error (on Windows, its message box)."""
    if expected_size is None:
        try:
            expected_size = os.stat(path).st_size
        except FileNotFoundError:
            raise
        except OSError as failure:
            raise Error(path, failure.strerror or "cannot be opened", failure.errno) from None
    if not 0 <= expected_size < 1 << 32:
        raise ValueError("expected_size %d is not a 32-bit size" % expected_size)
    buffer = (ctypes.c_uint8 * max(expected_size, 1))()
    table = (ctypes.c_uint16 * _TABLE_WORDS)()
    count = load_library().StringTable(buffer, expected_size, table, _encoded(path),
                                       1 if record else 0)
    if count == 0:
        raise _cause(path, expected_size)
    data = ctypes.string_at(buffer, expected_size)
    return Table(count, tuple(table[1:count + 1]), data, data[:4] == _MARK, record)
