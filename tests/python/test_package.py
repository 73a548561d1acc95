"""The vellomar package as installed from its wheel: what read() gives, what
it raises, and what python -m vellomar prints. Run by run_package_tests.py,
which builds the wheel and installs it into a fresh virtual environment."""
import errno
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import vellomar

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
WORKED = b"hdr\r\n@=A\r\nbodyA1\r\nbodyA2\r\n@=B\r\nbodyB"


def marked(head, records):
    """A marked file: "_PW_", the head and its line break plain, every byte
    of the records stored as its complement."""
    return b"_PW_" + head + b"\r\n" + bytes(b ^ 0xFF for b in records)


def records(count):
    return b"head" + b"\r\n@=r\r\nbody" * count


# data, record, count, complete, lengths (None: not listed), entries
READS = {
    "worked example, record": (WORKED, True, 5, True, (5, 5, 16, 5, 7),
                               [b"hdr", b"@=A", b"bodyA1\r\nbodyA2", b"@=B", b"bodyB"]),
    "worked example, plain": (WORKED, False, 6, True, (5, 5, 8, 8, 5, 7),
                              [b"hdr", b"@=A", b"bodyA1", b"bodyA2", b"@=B", b"bodyB"]),
    "empty file": (b"", False, 1, True, (3,), [b""]),
    "final line break": (b"ab\r\n", False, 2, True, (4, 2), [b"ab", b""]),
    "marked, plain asked": (marked(b"hdr", b"@=A\r\nbody"), False, 3, True, (9, 5, 6),
                            [b"_PW_hdr", b"@=A", b"body"]),
    "marked, record asked": (marked(b"hdr", b"@=A\r\nbody"), True, 3, True, (9, 5, 6),
                             [b"_PW_hdr", b"@=A", b"body"]),
    "plain, at the limit": (b"\r\n" * 16383, False, 16384, True, None, None),
    "plain, past the limit": (b"\r\n" * 16384, False, 16385, False, None, None),
    "record, at the limit": (records(16383), True, 32767, True, None, None),
    "record, past the limit": (records(16384), True, 32769, False, None, None),
    # Marked: the record mode's limit, whatever was asked.
    "marked, past the plain limit": (marked(b"h", b"@=r\r\nb\r\n" * 8192)[:-2], False,
                                     16385, True, None, None),
    "entry of 65535": (b"x" * 65533, False, 1, True, (65535,), [b"x" * 65533]),
    "entry of 65536 wraps": (b"x" * 65534, False, 1, False, (0,), [b""]),
    "record body over 64 KiB": (b"h\r\n@=a\r\n" + b"y" * 70000, True, 3, False,
                                (3, 5, 70002 - 65536), None),
}


@pytest.mark.parametrize("data, record, count, complete, lengths, entries",
                         READS.values(), ids=READS.keys())
def test_read(tmp_path, data, record, count, complete, lengths, entries):
    path = tmp_path / "text"
    path.write_bytes(data)
    table = vellomar.read(path, record=record)
    assert (table.count, len(table), len(table.lengths)) == (count, count, count)
    assert table.complete is complete
    assert table.marked is data.startswith(b"_PW_")
    if lengths is not None:
        assert table.lengths == lengths
    if entries is not None:
        assert list(table) == entries
        assert [table[i] for i in range(-count, 0)] == entries
    if not table.marked:
        assert table.data == data


def test_indexing_and_offsets():
    table = vellomar.read(EXAMPLES / "record.txt", record=True)
    assert table[1:3] == [table[1], table[2]] and table[-1] == table[table.count - 1]
    assert [table.offset(i) for i in range(3)] == [0, table.lengths[0], sum(table.lengths[:2])]
    with pytest.raises(IndexError):
        table[table.count]


@pytest.mark.parametrize("record", [False, True])
def test_marked_example_gives_the_record_example(record):
    plain = vellomar.read(EXAMPLES / "record.txt", record=True)
    restored = vellomar.read(EXAMPLES / "marked.txt", record=record)
    assert restored.marked and restored.data == b"_PW_" + plain.data
    assert list(restored) == [b"_PW_" + plain[0]] + list(plain)[1:]


@pytest.mark.parametrize("name", [str, os.fsencode, pathlib.Path], ids=["str", "bytes", "Path"])
def test_every_kind_of_path(name):
    assert vellomar.read(name(str(EXAMPLES / "plain.txt"))).count == \
        vellomar.read(EXAMPLES / "plain.txt").count > 1


# path (relative to a scratch folder holding "text", 10 bytes), expected
# size, exception, errno, what the message says
FAILURES = {
    "missing": ("absent", None, FileNotFoundError, errno.ENOENT, "absent"),
    "missing, size given": ("absent", 10, FileNotFoundError, errno.ENOENT, "absent"),
    "folder": (".", None, vellomar.Error, errno.EISDIR, "is a folder"),
    "folder, size given": (".", 4096, vellomar.Error, errno.EISDIR, "is a folder"),
    "device": ("/dev/null", None, vellomar.Error, None, "not a regular file"),
    "one byte short": ("text", 11, vellomar.Error, None, "has 10 bytes, 11 expected"),
    "one byte over": ("text", 9, vellomar.Error, None, "has 10 bytes, 9 expected"),
    "negative size": ("text", -1, ValueError, None, "-1"),
    "size of 4 GiB": ("text", 1 << 32, ValueError, None, str(1 << 32)),
}


@pytest.mark.parametrize("name, size, raised, code, message", FAILURES.values(),
                         ids=FAILURES.keys())
def test_failures(tmp_path, capfd, name, size, raised, code, message):
    (tmp_path / "text").write_bytes(b"0123456789")
    path = tmp_path / name
    with pytest.raises(raised) as failure:
        vellomar.read(path, expected_size=size)
    assert type(failure.value) is raised and message in str(failure.value)
    if issubclass(raised, OSError):
        assert failure.value.errno == code and failure.value.filename in (path, str(path))
    # Only a size mismatch shows the library's box: a line on stderr.
    box = "Tarvoni DLL: DLL error: 10\n" if "expected" in message else ""
    assert capfd.readouterr().err == box


def test_error_is_an_oserror():
    assert issubclass(vellomar.Error, OSError) and not issubclass(vellomar.Error,
                                                                   FileNotFoundError)


def test_library_named_by_the_environment(tmp_path, monkeypatch):
    copy = tmp_path / "libcopy.so"
    shutil.copy(vellomar.load_library()._name, copy)
    monkeypatch.setenv("VELLOMAR_LIBRARY", str(copy))
    assert vellomar.load_library()._name == str(copy)
    assert vellomar.read(EXAMPLES / "record.txt", record=True).count == 8


def test_installed_from_the_wheel(monkeypatch):
    site = os.environ.get("VELLOMAR_TEST_SITE")
    if not site:
        pytest.skip("not run by run_package_tests.py")
    monkeypatch.delenv("VELLOMAR_LIBRARY", raising=False)
    package = os.path.join(site, "vellomar")
    assert os.path.dirname(vellomar.__file__) == package
    assert vellomar.load_library()._name == os.path.join(package, "libvellomar.so")
    assert os.path.isfile(os.path.join(package, "py.typed"))


# arguments, exit status, what stdout starts with, what stderr holds
COMMANDS = {
    "record": (["--record", "record.txt"], 0, "1 0 16 Inventory 2026\n2 16 10 @=ITEM 1\n", ""),
    "plain": (["plain.txt"], 0, "1 0 ", ""),
    "missing": (["absent.txt"], 1, "", "No such file"),
    "no file": ([], 2, "", "python -m vellomar [--record] FILE"),
    "two files": (["plain.txt", "record.txt"], 2, "", "python -m vellomar"),
}


@pytest.mark.parametrize("arguments, status, out, err", COMMANDS.values(), ids=COMMANDS.keys())
def test_command(arguments, status, out, err):
    done = subprocess.run([sys.executable, "-m", "vellomar", *arguments], cwd=EXAMPLES,
                          capture_output=True, text=True)
    assert (done.returncode, done.stdout[:len(out)]) == (status, out)
    assert err in done.stderr and (err or not done.stderr)
