"""vellomar-dump and vellomar-mark from the outside, as a user runs them.

Most tests are tables of rows: the arguments, the files the folder holds
before (bytes, or one of the kinds below), and what the run must give: exit
status, standard output and error, the counts of the library's error box, and
the files left afterwards. Every row runs in a folder of its own that holds
copies of the examples record.txt, plain.txt and marked.txt; arguments name
files there. A row marked needs(...) runs only where the tools are so
(conftest.py says why).
"""
import json
import os
import re
import resource
import shutil
import socket
import stat
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
EXAMPLES = SOURCE / "examples"
RECORD = (EXAMPLES / "record.txt").read_bytes()
MARKED = (EXAMPLES / "marked.txt").read_bytes()  # what vellomar-mark makes of record.txt


class Re(str):
    """An expected output given as a pattern for the whole of it."""


@dataclass(frozen=True)
class Link:  # a symbolic link to target
    target: str


@dataclass(frozen=True)
class Hard:  # a hard link to another file of the row
    target: str


FOLDER, FIFO, SOCKET = "a folder", "a FIFO", "a socket"


@dataclass
class Row:
    id: str
    tool: str  # "dump", "mark" or "wrong_table_dump"
    args: list
    files: dict = field(default_factory=dict)
    status: int = 0
    out: str = ""
    err: str = ""
    box: list = field(default_factory=list)
    left: dict = field(default_factory=dict)  # files new or changed, with their bytes
    needs: tuple = ()
    env: dict = field(default_factory=dict)  # values may be options of the tools: "{answers}"


def rows(*table):
    return [pytest.param(row, id=row.id, marks=pytest.mark.needs(*row.needs)) for row in table]


def make_files(folder, files):
    later = []
    for name, what in files.items():
        path = folder / name
        if isinstance(what, bytes):
            path.write_bytes(what)
        elif isinstance(what, Link):
            path.symlink_to(what.target)
        elif what == FOLDER:
            path.mkdir()
        elif what == FIFO:
            os.mkfifo(path)
        elif what == SOCKET:
            socket.socket(socket.AF_UNIX).bind(str(path))
        else:
            later.append((path, folder / what.target))
    for path, target in later:
        os.link(target, path)


def snapshot(folder):
    """What the folder holds: names and kinds, and the bytes of every file
    that is not too large to read."""
    state = {}
    for entry in os.scandir(folder):
        info = entry.stat(follow_symlinks=False)
        if stat.S_ISLNK(info.st_mode):
            state[entry.name] = Link(os.readlink(entry.path))
        elif stat.S_ISDIR(info.st_mode):
            state[entry.name] = (FOLDER, sorted(os.listdir(entry.path)))
        elif stat.S_ISFIFO(info.st_mode):
            state[entry.name] = FIFO
        elif stat.S_ISSOCK(info.st_mode):
            state[entry.name] = SOCKET
        elif info.st_size > 1 << 20:
            state[entry.name] = ("large", info.st_size, info.st_mtime_ns)
        else:
            state[entry.name] = Path(entry.path).read_bytes()
    return state


def expect_text(what, got, want):
    if isinstance(want, Re):
        assert re.fullmatch(want, got, re.S), f"{what}: {got!r} does not match {want!r}"
    else:
        assert got == want, what


@pytest.fixture
def folder(tmp_path):
    os.chmod(tmp_path, 0o755)  # for the runs as nobody
    for name in ("record.txt", "plain.txt", "marked.txt"):
        shutil.copy(EXAMPLES / name, tmp_path)
    return tmp_path


def program(tools, name):
    path = getattr(tools, name)
    assert path, f"no --{name.replace('_', '-')} given"
    return path


def run_row(tools, folder, row, **run):
    make_files(folder, row.files)
    before = snapshot(folder)
    if row.env:
        program(tools, "answers")
    env = {name: value.format(**vars(tools)) for name, value in row.env.items()}
    if "LD_PRELOAD" in env:  # AddressSanitizer wants to be loaded first
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    result = tools.run(program(tools, row.tool), row.args, folder,
                       env={**os.environ, **env} if env else None, **run)
    assert result.status == row.status, result
    expect_text("standard output", result.out, row.out)
    expect_text("standard error", result.err, row.err)
    if tools.platform == "linux":  # elsewhere the box is no line of output
        assert result.boxes == [f"DLL error: {count}" for count in row.box]
    assert snapshot(folder) == {**before, **row.left}
    # A device stays a device: nothing may be renamed over it.
    for arg in row.args:
        if arg.startswith("/dev/"):
            assert stat.S_ISCHR(os.stat(arg).st_mode), arg
    return result


def usage(tool, message):
    return f"vellomar-{tool}: {message} (vellomar-{tool} --help shows the usage)\n"


# The command line: options and operands in any order, "--" ends the
# options, a usage error is status 2 and one line naming the bad argument,
# and writes nothing.
CLEAN = b"h\r\n@=A\r\nb"
COMMAND_LINES = [
    Row("mark --decode --plain-breaks", "mark", ["--decode", "--plain-breaks", "marked.txt", "o.txt"],
        status=2, err=usage("mark", "--plain-breaks does not go with --decode")),
    Row("mark --strict", "mark", ["--strict", "marked.txt", "o.txt"],
        status=2, err=usage("mark", "--strict goes only with --decode")),
    Row("mark --bogus last", "mark", ["marked.txt", "o.txt", "--bogus"],
        status=2, err=usage("mark", "unknown option '--bogus'")),
    Row("mark -x", "mark", ["-x", "marked.txt", "o.txt"],
        status=2, err=usage("mark", "unknown option '-x'")),
    Row("mark -dx", "mark", ["-dx", "marked.txt", "o.txt"],
        status=2, err=usage("mark", "unknown option '-x'")),
    Row("mark INPUT only", "mark", ["marked.txt"], status=2, err=usage("mark", "missing OUTPUT")),
    Row("mark no INPUT", "mark", ["--force"], status=2, err=usage("mark", "missing INPUT")),
    Row("mark three operands", "mark", ["marked.txt", "o.txt", "third.txt"],
        status=2, err=usage("mark", "unexpected argument 'third.txt'")),
    Row("mark options after the operands", "mark", ["marked.txt", "late.txt", "-d", "--strict"],
        out=Re(r"late\.txt: 131 bytes, the record text of marked\.txt\n.*"),
        left={"late.txt": RECORD}),
    Row("mark -- then names with -", "mark", ["--", "-record.txt", "-marked.txt"],
        files={"-record.txt": RECORD},
        out="-marked.txt: 135 bytes, marked; scrambled from byte 20\n",
        left={"-marked.txt": MARKED}),
    Row("dump --expect +5", "dump", ["--expect", "+5", "c.txt"], files={"c.txt": CLEAN},
        status=2, err=usage("dump", "bad value '+5' for --expect")),
    Row("dump --expect -0", "dump", ["--expect", "-0", "c.txt"], files={"c.txt": CLEAN},
        status=2, err=usage("dump", "bad value '-0' for --expect")),
    Row("dump --expect space 5", "dump", ["--expect", " 5", "c.txt"], files={"c.txt": CLEAN},
        status=2, err=usage("dump", "bad value ' 5' for --expect")),
    Row("dump --expect=5x", "dump", ["c.txt", "--expect=5x"], files={"c.txt": CLEAN},
        status=2, err=usage("dump", "bad value '5x' for --expect")),
    Row("dump --expect alone", "dump", ["--expect"],
        status=2, err=usage("dump", "'--expect' needs a value")),
    Row("dump --expect last", "dump", ["c.txt", "--expect"], files={"c.txt": CLEAN},
        status=2, err=usage("dump", "'--expect' needs a value")),
    Row("dump --bogus", "dump", ["--bogus", "c.txt"], files={"c.txt": CLEAN},
        status=2, err=usage("dump", "unknown option '--bogus'")),
    Row("dump -x last", "dump", ["c.txt", "-x"], files={"c.txt": CLEAN},
        status=2, err=usage("dump", "unknown option '-x'")),
    Row("dump a file named -record.txt", "dump", ["-record.txt"], files={"-record.txt": CLEAN},
        status=2, err=usage("dump", "unknown option '-r'")),
    Row("dump nothing", "dump", [], status=2, err=usage("dump", "missing FILE")),
    Row("dump two files", "dump", ["c.txt", "d.txt"], files={"c.txt": CLEAN, "d.txt": CLEAN},
        status=2, err=usage("dump", "unexpected argument 'd.txt'")),
    Row("dump options after FILE", "dump", ["c.txt", "--strict", "--record"],
        files={"c.txt": CLEAN}, out=Re(r"c\.txt: 9 bytes, record mode, 3 entries\n.*")),
    Row("dump --expect among the options", "dump", ["c.txt", "--json", "--expect", "9"],
        files={"c.txt": CLEAN}, out=Re(r'\{"file": "c\.txt", "size": 9,.*')),
    Row("dump -- then a name with -", "dump", ["--record", "--", "-record.txt"],
        files={"-record.txt": CLEAN}, out=Re(r"-record\.txt: 9 bytes, record mode, 3 entries\n.*")),
] + [row for tool in ("dump", "mark") for row in (
    Row(f"{tool} -h", tool, ["-h"], out=Re(rf"usage: vellomar-{tool} .*-h, --help .*--version.*")),
    Row(f"{tool} --help among operands", tool, ["first", "--help", "second", "third"],
        out=Re(rf"usage: vellomar-{tool} .* go in any order.*")),
    Row(f"{tool} --version", tool, ["--version"], out=Re(rf"vellomar-{tool} \d+\.\d+\.\d+\n")))]


@pytest.mark.parametrize("row", rows(*COMMAND_LINES))
def test_command_line(tools, folder, row):
    run_row(tools, folder, row)


# A file that is not indexed: one message naming its cause, from the
# dump's own look at the file; the box where the library shows one.
LF_TEXT = b"hdr\n@=A\nbody\n"


def not_indexed(name, why):
    return f"vellomar-dump: {name}: not indexed: {why}\n"


DUMP_FAILURES = rows(
    Row("no such file", "dump", ["no-such-file.txt"], status=1,
        err=not_indexed("no-such-file.txt", "no such file")),
    Row("a file as folder", "dump", ["lf.txt/x"], files={"lf.txt": LF_TEXT}, status=1,
        err=not_indexed("lf.txt/x", "no such file")),
    Row("a folder", "dump", ["folder"], files={"folder": FOLDER}, status=1,
        err=not_indexed("folder", "is a directory")),
    Row("one byte short", "dump", ["--expect", "132", "record.txt"], status=1, box=[131],
        err=not_indexed("record.txt", "is 131 bytes, expected 132")),
    Row("longer than expected", "dump", ["--expect", "5", "lf.txt"], files={"lf.txt": LF_TEXT},
        status=1, box=[13], err=not_indexed("lf.txt", "is 13 bytes, expected 5")),
    # The largest expected size is the library's to judge, not the command
    # line's. A 32-bit program cannot even have the buffer; sanitized, the
    # buffer's 4 GiB are made byte by byte (minutes).
    Row("--expect 4294967295", "dump", ["--expect", "4294967295", "record.txt"], status=1,
        box=[131], err=not_indexed("record.txt", "is 131 bytes, expected 4294967295"),
        needs=("linux", "unsanitized", "optimised")),
    Row("--expect 4000000000 in 32 bits", "dump", ["--expect", "4000000000", "lf.txt"],
        files={"lf.txt": LF_TEXT}, status=1, needs=("32-bit",),
        err="vellomar-dump: lf.txt: cannot have 4000000000 bytes of memory for the buffer\n"),
    Row("a device", "dump", ["/dev/null"], status=1, needs=("linux",),
        err=not_indexed("/dev/null", "is not a regular file")),
)


@pytest.mark.parametrize("row", DUMP_FAILURES)
def test_dump_failure(tools, folder, row):
    run_row(tools, folder, row)


# 4 GiB without writing them: files with a hole. The library's box reads
# the length as a signed 32-bit number.
@pytest.mark.parametrize("length, why, box", [
    pytest.param(1 << 32, "is 4 GiB or larger", [], id="4 GiB"),
    pytest.param((1 << 32) - 1, "is 4294967295 bytes, expected 5", [-1], id="4 GiB - 1")])
def test_dump_failure_of_a_huge_file(tools, folder, length, why, box):
    with open(folder / "huge.txt", "wb") as huge:
        huge.truncate(length)
    run_row(tools, folder, Row("", "dump", ["--expect", "5", "huge.txt"], status=1, box=box,
                               err=not_indexed("huge.txt", why)))


def as_nobody():
    """The prefix that runs a program as nobody where the tests run as root,
    whom no file mode stops."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    assert setpriv, "setpriv (Debian: util-linux) not found"
    # A coverage build's counters are root's files: nobody's run writes its
    # own under /tmp instead, rather than saying on standard error that it
    # cannot.
    return [setpriv, "--reuid=65534", "--regid=65534", "--clear-groups",
            "env", "GCOV_PREFIX=/tmp/vellomar-coverage-of-nobody"]


@pytest.mark.needs("linux")
def test_dump_failure_of_an_unreadable_file(tools, folder):
    (folder / "locked.txt").write_bytes(b"locked")
    os.chmod(folder / "locked.txt", 0o200)
    result = tools.run(tools.dump, ["locked.txt"], folder, prefix=as_nobody())
    assert (result.status, result.err) == (1, not_indexed("locked.txt", "permission denied"))


# An expected size the process cannot have memory for, under a limit on the
# address space. An emulator shares the limit (qemu-aarch64 alone takes
# 128 MiB for its translated code), so it gets more, still far below 4 GB.
@pytest.mark.needs("linux", "unsanitized")
def test_dump_says_when_the_buffer_cannot_be_had(tools, folder):
    (folder / "lf.txt").write_bytes(LF_TEXT)
    limit = (1000000 if tools.runner else 200000) * 1024
    result = tools.run(tools.dump, ["--expect", "4000000000", "lf.txt"], folder,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert result.status == 1
    assert result.err == "vellomar-dump: lf.txt: cannot have 4000000000 bytes of memory for the buffer\n"


# What the dump tells beyond the table: each entry's true length past
# 64 KiB (the table's word beside it), the warnings, and --strict, which
# makes any warning status 3. Rows: the text, record mode, the count, each
# entry's true length and stored word (None: not cut), and the warnings, in
# order, each by its start.
@dataclass
class Text:
    id: str
    text: bytes
    count: int
    lengths: list = None
    stored: list = None
    warnings: list = field(default_factory=list)
    record: bool = False


CUT_ONE = "Entry 1 is 70002 bytes long, stored as 4466: the table keeps only the low 16 bits"
NO_MARKER = "Record mode, but the text has no record marker"
TEXTS = [
    Text("one long line", b"a" * 70000 + b"\r\nxyz", 2, [70002, 5], [4466, None], [CUT_ONE]),
    Text("long and short lines", b"ab\r\n" + b"b" * 65534 + b"\r\ncd\r\n" + b"c" * 140000 + b"\r\ne",
         5, [4, 65536, 4, 140002, 3], [None, 0, None, 8930, None],
         ["2 entries are 64 KiB or longer; the first, entry 2, is 65536 bytes long, stored as 0"]),
    # The body's stored word, 12, lands on the end of its first line: only
    # the record rules tell that this line break ends no entry.
    Text("long record body", b"h\r\n@=A\r\n" + b"x" * 10 + b"\r\n" + b"y" * 65534 + b"\r\n@=B\r\nz",
         5, [3, 5, 65548, 5, 3], [None, None, 12, None, None],
         ["Entry 3 is 65548 bytes long, stored as 12"], record=True),
    Text("LF record file", LF_TEXT, 1, [15], [None],
         ["LF line breaks: StringTable splits on CR LF only, and this file has 3 LF line breaks "
          "and no CR LF", NO_MARKER], record=True),
    Text("mixed breaks", b"a\r\nb\nc", 2, [3, 5], [None, None],
         ["Mixed line breaks: 1 CR LF and 1 lone LF"]),
    Text("past the limit", b"x\r\n" * 16386, 16385, warnings=[
        "The count 16385 is past the plain mode limit of 16384 entries: the table covers "
        "49155 bytes of 49158"]),
    Text("past the limit at the end", b"x\r\n" * 16384, 16385, warnings=[
        "The count 16385 is past the plain mode limit of 16384 entries: the table covers "
        "49152 bytes of 49152,"]),
    Text("record without marker", b"a\r\nb\r\n", 1, [8], [None], [NO_MARKER], record=True),
    Text("marked without scrambled part", b"_PW_head\r\nbody\r\n", 1, [18], [None],
         [NO_MARKER, 'The file starts with the mark "_PW_", but its scrambled part (the stored '
          'bytes 0xBF 0xC2) was never found']),
    Text("clean record text", CLEAN, 3, [3, 5, 3], [None] * 3, record=True),
    # The dump's own cutting counts an empty file as the table does: one
    # entry of 3, so nothing disagrees; its text, clipped at the data's end,
    # is empty.
    Text("empty file", b"", 1, [3], [None]),
    Text("no line break", b"abc", 1, [5], [None]),
    Text("at the limit", b"x\r\n" * 16383 + b"x", 16384),
    # A marked file whose scrambled part starts at 65535: 0xBF ends the
    # dump's first 64 KiB read, 0xC2 starts the second.
    Text("scrambled part across reads", b"_PW_" + b"h" * 65529 + b"\r\n\xbf\xc2\xbe\xf2\xf5\x9d",
         3, [65535, 5, 3], [None] * 3),
]


@pytest.mark.parametrize("case", [pytest.param(case, id=case.id) for case in TEXTS])
def test_dump_tells_the_text(tools, folder, case):
    name = case.id.replace(" ", "_") + ".txt"
    (folder / name).write_bytes(case.text)
    flags = ["--record"] if case.record else []
    result = tools.run(tools.dump, [*flags, "--json", name], folder)
    assert (result.status, result.boxes) == (0, [])
    document = json.loads(result.out)
    assert document["count"] == case.count
    if case.lengths is not None:
        entries = document["entries"]
        assert [entry["length"] for entry in entries] == case.lengths
        assert [entry.get("stored") for entry in entries] == case.stored
        offsets = [sum(case.lengths[:i]) for i in range(len(case.lengths))]
        assert [entry["offset"] for entry in entries] == offsets
    if not case.text:
        assert entries[0]["text"] == "" and "\\u0000" not in result.out
    assert len(document["warnings"]) == len(case.warnings), document["warnings"]
    for warning, start in zip(document["warnings"], case.warnings):
        assert warning.startswith(start)

    # The table view: the heading, the same warnings on standard error, and
    # each cut entry marked with its stored word, the others blank there.
    table = tools.run(tools.dump, ["--strict", *flags, name], folder)
    assert table.status == (3 if case.warnings else 0)
    entries = "entry" if case.count == 1 else "entries"
    mode = "marked and decoded, record" if case.text.startswith(b"_PW_") else \
        "record" if case.record else "plain"
    heading = f"{name}: {len(case.text)} bytes, {mode} mode"
    assert table.out.startswith(f"{heading}, {case.count} {entries}\n")
    for start in case.warnings:
        assert f"warning: {start}" in table.err
    if any(word is not None for word in case.stored or []):
        for i, (length, word) in enumerate(zip(case.lengths, case.stored)):
            cell = rf"{length}\* +{word} " if word is not None else rf"{length}           "
            assert re.search(rf"^ *{i + 1} +{offsets[i]} +{cell}", table.out, re.M), i


# The table that a stand-in library gets wrong: the dump says where it
# disagrees with the text. A table that stops before the text's last entry
# disagrees at its own last entry, though every word it has is right.
@pytest.mark.needs("linux")
@pytest.mark.parametrize("wrong, warning", [
    ("", "The table disagrees with the text at entry 1 (stored 11)"),
    ("short", "The table disagrees with the text at entry 2 (stored 5)")],
    ids=["one entry", "short"])
def test_dump_says_where_the_table_disagrees(tools, folder, wrong, warning):
    (folder / "c.txt").write_bytes(CLEAN)
    result = tools.run(program(tools, "wrong_table_dump"), ["--json", "c.txt"], folder,
                       env={**os.environ, "VELLOMAR_WRONG_TABLE": wrong})
    assert result.status == 0
    warnings = json.loads(result.out)["warnings"]
    assert len(warnings) == 1 and warnings[0].startswith(warning), warnings


# The shipped examples: the table tiles each file (the last entry counts 2
# for the line break it lacks), and the record example's second entry is a
# marker line.
@pytest.mark.parametrize("example, mode", [("plain.txt", []), ("record.txt", ["--record"])])
def test_dump_walks_the_examples(tools, folder, example, mode):
    result = tools.run(tools.dump, [*mode, "--json", example], folder)
    assert result.status == 0
    document = json.loads(result.out)
    entries = document["entries"]
    assert document["count"] == len(entries) >= 2
    offset = 0
    for entry in entries:
        assert entry["offset"] == offset
        offset += entry["length"]
    assert offset == len((EXAMPLES / example).read_bytes()) + 2
    if mode:
        assert entries[1]["text"].startswith("@=")


# 0x7F is a control byte: escaped in the table, and in JSON too, where it
# still stands for itself. A backslash is escaped in both.
@pytest.mark.parametrize("view", [[], ["--json"]], ids=["table", "json"])
def test_dump_escapes_0x7f_and_backslash(tools, folder, view):
    (folder / "del.txt").write_bytes(b"a\x7fb\\c")
    result = tools.run(tools.dump, [*view, "del.txt"], folder)
    assert result.status == 0 and "\x7f" not in result.out
    if view:
        assert json.loads(result.out)["entries"][0]["text"] == "a\x7fb\\c"
    else:
        assert r"a\x7Fb\\c" in result.out


# Valid UTF-8 in JSON stays UTF-8, a file name's and a text's; any other
# byte from 0x80 up is escaped as the code point of its value.
@pytest.mark.needs("linux")
def test_dump_json_keeps_utf8(tools, folder):
    (folder / "\u00e9.txt").write_bytes(b"x\r\n\xc3\xa9\xe9")
    result = tools.run(tools.dump, ["--json", "\u00e9.txt"], folder)
    assert result.status == 0
    assert '"file": "\u00e9.txt"' in result.out and '"text": "\u00e9\\u00E9"' in result.out


# The library's open cut into by a signal is made again: the same table as
# without the signal.
@pytest.mark.needs("native")
def test_dump_reads_through_an_interrupted_open(tools, folder):
    plain = tools.run(tools.dump, ["record.txt"], folder)
    env = {**os.environ, "LD_PRELOAD": program(tools, "answers"), "VELLOMAR_ANSWERS": "open:EINTR:1",
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
    interrupted = tools.run(tools.dump, ["record.txt"], folder, env=env)
    assert plain.status == 0 and (interrupted.status, interrupted.out) == (0, plain.out)


# A backslash in a file's name, where it is no path separator.
@pytest.mark.needs("linux")
def test_dump_names_a_file_with_a_backslash(tools, folder):
    name = str(folder / "back\\slash.txt")
    Path(name).write_bytes(b"")
    result = tools.run(tools.dump, ["--json", name], folder)
    assert result.status == 0 and json.loads(result.out)["file"] == name


# Output that cannot be written is a failure, never a success: a full disk,
# a closed standard output, in both views of the dump and in mark's report.
# (Under Wine the output passes through a file first.)
def closed_output():
    os.close(1)


@pytest.mark.needs("linux")
@pytest.mark.parametrize("tool, args", [
    ("dump", ["c.txt"]), ("dump", ["--json", "c.txt"]),
    ("mark", ["--force", "record.txt", "c.txt"])], ids=["dump", "dump --json", "mark"])
@pytest.mark.parametrize("sink", ["/dev/full", "closed"])
def test_lost_output_fails(tools, folder, tool, args, sink):
    (folder / "c.txt").write_bytes(CLEAN)
    with open("/dev/full", "wb") as full:
        result = tools.run(getattr(tools, tool), args, folder,
                           stdout=full if sink == "/dev/full" else subprocess.DEVNULL,
                           preexec_fn=closed_output if sink == "closed" else None)
    assert result.status == 1
    assert re.fullmatch(rf"vellomar-{tool}: cannot write to standard output: [^\n]+\n", result.err)


# A write that fails once, with later ones going through (strace injects
# the failure into the first write): what it carried is lost, so the run
# fails, however well the rest was written. The first write could be the
# emulator's own, or AddressSanitizer's probe as it starts.
@pytest.mark.needs("native", "unsanitized")
def test_dump_fails_when_one_write_fails(tools, folder):
    strace = shutil.which("strace")
    assert strace, "strace (Debian: strace) not found: it makes the failing write"
    (folder / "long.txt").write_bytes(b"a line long enough to fill the output buffer\r\n" * 3000)
    with open(folder / "long.out", "wb") as out:
        result = tools.run(tools.dump, ["long.txt"], folder, stdout=out, prefix=[
            strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=write",
            "-e", "inject=write:error=EIO:when=1"])
    assert result.status == 1 and (folder / "long.out").stat().st_size > 0
    assert re.fullmatch(r"vellomar-dump: cannot write to standard output[^\n]*\n", result.err)


# vellomar-mark's refusals: what it cannot or may not write, and never a
# file left behind, the output's or a temporary one.
NOT_REGULAR = ("not a regular file (a device, FIFO, socket, or a link to nothing); only "
               "regular files are written, even with --force")


NO_MARKER = 'no record marker (a CR LF line break followed by "@="), so nothing to scramble'


def refused(name, why):
    return f"vellomar-mark: {name}: {why}\n"


def both_forces(row):
    """The row, and the row with --force, which changes nothing of it."""
    forced = Row(**{**vars(row), "id": row.id + " --force", "args": ["--force", *row.args]})
    return [row, forced]


INPUT_NAMES = {"input.txt": RECORD, "hard.txt": Hard("input.txt"), "soft.txt": Link("input.txt")}
MARKED_NAMES = {"m.txt": MARKED, "hard.txt": Hard("m.txt"), "soft.txt": Link("m.txt")}
MARK_REFUSALS = rows(
    Row("an existing OUTPUT", "mark", ["record.txt", "kept.txt"], files={"kept.txt": b"keep"},
        status=1, err=refused("kept.txt", "exists (--force replaces it)")),
    *[row for output in ("input.txt", "./input.txt", "hard.txt", "soft.txt")
      for row in both_forces(Row(f"OUTPUT {output} is INPUT", "mark", ["input.txt", output],
                                 files=INPUT_NAMES, status=1, err=refused(
                                     output, "is the input input.txt itself; it is never overwritten")))],
    Row("INPUT through a link is OUTPUT", "mark", ["--force", "soft.txt", "input.txt"],
        files=INPUT_NAMES, status=1,
        err=refused("input.txt", "is the input soft.txt itself; it is never overwritten")),
    # Renaming a new file over any of these would replace it.
    *both_forces(Row("OUTPUT NUL", "mark", ["record.txt", "NUL"], status=1,
                     err=refused("NUL", NOT_REGULAR), needs=("windows",))),
    *[row for name, what in [("/dev/full", None), ("fifo", FIFO), ("socket", SOCKET),
                             ("dangling", Link("nothing"))]
      for row in both_forces(Row(f"OUTPUT {name}", "mark", ["record.txt", name],
                                 files={name: what} if what else {}, status=1,
                                 err=refused(name, NOT_REGULAR), needs=("linux",)))],
    # A link to itself names no file that could be written.
    Row("OUTPUT a link to itself", "mark", ["record.txt", "loop"], files={"loop": Link("loop")},
        status=1, err=Re(r"vellomar-mark: loop: .*\n"), needs=("linux",)),
    *both_forces(Row("OUTPUT a folder", "mark", ["record.txt", "folder"],
                     files={"folder": FOLDER}, status=1, err=refused("folder", "is a folder"))),
    # The hint about LF line breaks only where the text has one.
    Row("no record marker", "mark", ["plain.txt", "o.txt"], status=1, err=refused(
        "plain.txt", NO_MARKER)),
    Row("no record marker, empty", "mark", ["empty.txt", "o.txt"], files={"empty.txt": b""},
        status=1, err=refused("empty.txt", NO_MARKER)),
    Row("no record marker, LF breaks", "mark", ["lf.txt", "o.txt"], files={"lf.txt": LF_TEXT},
        status=1, err=refused("lf.txt", NO_MARKER + "; a text with LF line breaks must be "
                              "converted to CR LF first")),
    Row("OUTPUT in a missing folder", "mark", ["record.txt", "none/o.txt"], status=1,
        err=refused("none/o.txt", "cannot create a temporary file in none: No such file or "
                    "directory"), needs=("linux",)),
    # 0xF5 directly before "@=" at offset 9 makes a reader rewrite offset 8.
    Row("would not come back: 0xF5 before @=", "mark", ["bad.txt", "o.txt"],
        files={"bad.txt": b"h\r\n@=A\r\nb\xf5@=c\r\n"}, status=1, err=refused(
            "bad.txt", "cannot be marked: offset 8 of the input would be read back as 0x0D "
            'instead of 0x62: a byte 0xF5 directly before "@=" (at offset 9) is taken by a '
            "reader for a line break stored plain")),
    # 0xBF 0xC2 in the head, which ends 4 bytes further into the marked
    # file than into the text: the last bytes before its line break.
    Row("would not come back: 0xBF 0xC2 ends the head", "mark", ["bad.txt", "o.txt"],
        files={"bad.txt": b"h\xbf\xc2\r\n@=A\r\nb"}, status=1, err=refused(
            "bad.txt", "cannot be marked: offset 1 of the input would be read back as 0x40 "
            "instead of 0xBF: the head holds the bytes 0xBF 0xC2 (at offset 1), which a reader "
            "takes for the start of the scrambled part")),
    # The text's last two bytes 0xF2 0xF5 would be stored as CR LF.
    Row("would not come back: ends in 0xF2 0xF5", "mark", ["bad.txt", "o.txt"],
        files={"bad.txt": b"h\r\n@=A\r\nb\xf2\xf5"}, status=1, err=refused(
            "bad.txt", "cannot be marked: offset 9 of the input would be read back as 0x0D "
            "instead of 0xF2: the text ends in 0xF2 0xF5, which a reader takes for a line "
            "break stored plain")),
    *[Row(f"INPUT {name} missing", "mark", [name, "o.txt"], status=1,
          err=refused(name, "No such file or directory")) for name in ("none.txt", "none/x.txt")],
    # Inputs that are no regular file, without waiting for a FIFO's writer.
    Row("INPUT a folder", "mark", ["folder", "o.txt"], files={"folder": FOLDER}, status=1,
        err=refused("folder", "not a regular file")),
    Row("INPUT NUL", "mark", ["NUL", "o.txt"], status=1, err=refused("NUL", "not a regular file"),
        needs=("windows",)),
    Row("INPUT /dev/null", "mark", ["/dev/null", "o.txt"], status=1,
        err=refused("/dev/null", "not a regular file"), needs=("linux",)),
    Row("INPUT a FIFO", "mark", ["fifo", "o.txt"], files={"fifo": FIFO}, status=1,
        err=refused("fifo", "not a regular file"), needs=("linux",)),
    # --decode refuses as marking does, and what is not a marked file.
    Row("decode what is not marked", "mark", ["--decode", "record.txt", "o.txt"], status=1,
        err=refused("record.txt", 'not a marked file: it does not begin with "_PW_"')),
    Row("decode onto an existing OUTPUT", "mark", ["--decode", "marked.txt", "kept.txt"],
        files={"kept.txt": b"keep"}, status=1, err=refused("kept.txt", "exists (--force replaces it)")),
    *[Row(f"decode onto INPUT as {output}", "mark", ["--decode", "--force", "m.txt", output],
          files=MARKED_NAMES, status=1,
          err=refused(output, "is the input m.txt itself; it is never overwritten"))
      for output in ("m.txt", "./m.txt", "hard.txt", "soft.txt")],
    Row("decode from a folder", "mark", ["--decode", "folder", "o.txt"], files={"folder": FOLDER},
        status=1, err=refused("folder", "not a regular file")),
    Row("decode into a folder", "mark", ["--decode", "--force", "marked.txt", "folder"],
        files={"folder": FOLDER}, status=1, err=refused("folder", "is a folder")),
    # An OUTPUT that appears after the check, just before the rename (made
    # there by a preloaded stand-in for rename): without --force it stays as
    # it was and the run fails; with --force it is replaced.
    Row("OUTPUT made after the check", "mark", ["record.txt", "late.txt"], status=1,
        env={"LD_PRELOAD": "{answers}", "VELLOMAR_APPEARS": "late.txt"},
        err=refused("late.txt", "exists (--force replaces it)"),
        left={"late.txt": b"appeared\n"}, needs=("native",)),
    Row("OUTPUT made after the check --force", "mark", ["--force", "record.txt", "late.txt"],
        env={"LD_PRELOAD": "{answers}", "VELLOMAR_APPEARS": "late.txt"},
        out="late.txt: 135 bytes, marked; scrambled from byte 20\n",
        left={"late.txt": MARKED}, needs=("native",)),
    # A full disk: the run fails, OUTPUT is as it was, and the temporary
    # file is gone (every row's folder must hold exactly what it says).
    *both_forces(Row("a full disk", "mark", ["record.txt", "o.txt"], status=1,
                     env={"LD_PRELOAD": "{answers}", "VELLOMAR_ANSWERS": "write:ENOSPC:@100"},
                     err=refused("o.txt", "No space left on device"), needs=("native",))),
    Row("a full disk --force over OUTPUT", "mark", ["--force", "record.txt", "o.txt"],
        files={"o.txt": b"old"}, status=1,
        env={"LD_PRELOAD": "{answers}", "VELLOMAR_ANSWERS": "write:ENOSPC:@100"},
        err=refused("o.txt", "No space left on device"), needs=("native",)),
)


@pytest.mark.parametrize("row", MARK_REFUSALS)
def test_mark_refuses(tools, folder, row):
    run_row(tools, folder, row, timeout=60)


# What it writes: the shipped example is what it makes of the record
# example; --force replaces; a link to a regular file stays a link, and the
# file it names is replaced.
MARK_WRITES = rows(
    Row("record example", "mark", ["record.txt", "o.txt"],
        out="o.txt: 135 bytes, marked; scrambled from byte 20\n", left={"o.txt": MARKED}),
    Row("--force replaces", "mark", ["--force", "record.txt", "o.txt"], files={"o.txt": b"old"},
        out="o.txt: 135 bytes, marked; scrambled from byte 20\n", left={"o.txt": MARKED}),
    Row("through a link", "mark", ["--force", "record.txt", "link.txt"],
        files={"target.txt": b"old", "link.txt": Link("target.txt")},
        out="link.txt: 135 bytes, marked; scrambled from byte 20\n",
        left={"target.txt": MARKED}, needs=("linux",)),
    # What the system may answer on the way: a read of INPUT cut into by a
    # signal is made again; where renameat2 is not there (older kernels,
    # some containers) a plain rename stands in. Before the move the file
    # is on disk: a crash after it leaves OUTPUT whole, old or new.
    Row("INPUT's read cut into by a signal", "mark", ["record.txt", "o.txt"],
        env={"LD_PRELOAD": "{answers}", "VELLOMAR_ANSWERS": "read:EINTR:1"},
        out="o.txt: 135 bytes, marked; scrambled from byte 20\n", left={"o.txt": MARKED},
        needs=("native",)),
    Row("renameat2 answers ENOSYS", "mark", ["record.txt", "o.txt"],
        env={"LD_PRELOAD": "{answers}", "VELLOMAR_ANSWERS": "renameat2:ENOSYS"},
        out="o.txt: 135 bytes, marked; scrambled from byte 20\n", left={"o.txt": MARKED},
        needs=("native",)),
    Row("synced before it is moved", "mark", ["--force", "record.txt", "o.txt"],
        env={"LD_PRELOAD": "{answers}", "VELLOMAR_CALL_LOG": "calls.log"},
        out="o.txt: 135 bytes, marked; scrambled from byte 20\n",
        left={"o.txt": MARKED, "calls.log": b"fsync\nrename\n"}, needs=("native",)),
    # The round trip of the README on the shipped example.
    Row("decode the marked example", "mark", ["--decode", "marked.txt", "r.txt"],
        out="r.txt: 131 bytes, the record text of marked.txt\nline breaks: all scrambled\n"
            "marking it again without --plain-breaks gives back INPUT byte for byte\n",
        left={"r.txt": RECORD}),
)


@pytest.mark.parametrize("row", MARK_WRITES)
def test_mark_writes(tools, folder, row):
    run_row(tools, folder, row)


def test_mark_takes_options_after_the_operands(tools, folder):
    late = tools.run(tools.mark, ["record.txt", "late.txt", "--plain-breaks", "--force"], folder)
    early = tools.run(tools.mark, ["--force", "--plain-breaks", "record.txt", "early.txt"], folder)
    assert late.status == early.status == 0
    assert (folder / "late.txt").read_bytes() == (folder / "early.txt").read_bytes()


# Marked, in either storing of line breaks, then read by the dump in plain
# mode: record mode is given, and the records come back behind the mark.
# The second storing replaces the first's file.
@pytest.mark.parametrize("flags", [[], ["--plain-breaks", "--force"]], ids=["scrambled", "plain"])
def test_mark_then_dump_gives_back_the_records(tools, folder, flags):
    read = tools.run(tools.dump, ["--record", "--json", "record.txt"], folder)
    assert read.status == 0
    original = json.loads(read.out)
    if flags:
        shutil.copy(folder / "marked.txt", folder / "o.txt")
    assert tools.run(tools.mark, [*flags, "record.txt", "o.txt"], folder).status == 0
    stored = (folder / "o.txt").read_bytes()
    assert stored.startswith(b"_PW_") and b"@=ITEM" not in stored
    result = tools.run(tools.dump, ["--json", "o.txt"], folder)
    assert result.status == 0
    marked = json.loads(result.out)
    assert (marked["marked"], marked["mode"], marked["count"]) == (True, "record", original["count"])
    want = [(entry["text"], entry["length"]) for entry in original["entries"]]
    want[0] = ("_PW_" + want[0][0], want[0][1] + 4)
    assert [(entry["text"], entry["length"]) for entry in marked["entries"]] == want


# The new file's mode is what the umask leaves of 0666.
@pytest.mark.needs("linux")
@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o002, 0o664)], ids=["022", "002"])
def test_mark_leaves_the_umask_its_say(tools, folder, umask, mode):
    result = tools.run(tools.mark, ["record.txt", "o.txt"], folder,
                       preexec_fn=lambda: os.umask(umask))
    assert result.status == 0 and stat.S_IMODE(os.stat(folder / "o.txt").st_mode) == mode


# A file that --force replaces keeps its permission bits, as sed -i does: a
# private file stays private, whatever the umask says.
@pytest.mark.needs("linux")
@pytest.mark.parametrize("mode", [0o600, 0o444, 0o640], ids=["0600", "0444", "0640"])
def test_mark_keeps_the_mode_of_the_file_it_replaces(tools, folder, mode):
    (folder / "o.txt").write_bytes(b"old")
    os.chmod(folder / "o.txt", mode)
    result = tools.run(tools.mark, ["--force", "record.txt", "o.txt"], folder,
                       preexec_fn=lambda: os.umask(0o022))
    assert result.status == 0, result
    assert stat.S_IMODE(os.stat(folder / "o.txt").st_mode) == mode
    assert (folder / "o.txt").read_bytes() == MARKED


# A bare OUTPUT name: the temporary file goes into the working folder, not
# "/". As root "/" is writable, so the run is made as nobody there.
@pytest.mark.needs("linux")
def test_mark_writes_beside_a_bare_output_name(tools, folder):
    os.chmod(folder, 0o777)
    result = tools.run(tools.mark, ["record.txt", "bare.txt"], folder, prefix=as_nobody())
    assert result.status == 0, result
    assert (folder / "bare.txt").read_bytes() == MARKED


# vellomar-mark.exe without --force, and an OUTPUT that another program
# makes after the tool has looked: once its temporary file is there, the
# look is over. Only the move itself can still refuse to replace, and the
# temporary file must go when it does. A run in which the tool moved before
# OUTPUT could be made proves nothing, and is made again with a longer
# input, which takes longer to write.
@pytest.mark.needs("windows")
def test_mark_refuses_an_output_made_after_its_check(tools, folder):
    record = b"@=RECORD\r\nbody of the record, long enough\r\n"
    for megabytes in (16, 32, 64, 128, 256):
        (folder / "input.txt").write_bytes(b"head\r\n" + record * ((megabytes << 20) // len(record)))
        output = folder / "output.txt"
        output.unlink(missing_ok=True)
        tool = subprocess.Popen([*tools.runner, tools.mark, "input.txt", "output.txt"], cwd=folder,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        temporary = []
        while not temporary and tool.poll() is None:
            temporary = [name for name in os.listdir(folder) if name.startswith(".vellomar-mark.")]
        decided = False
        try:
            if temporary:
                with open(output, "xb") as made:
                    made.write(b"keep")
                decided = (folder / temporary[0]).exists()
        except FileExistsError:
            pass
        out, err = tool.communicate(timeout=300)
        if decided:
            assert tool.returncode == 1, (out, err)
            assert output.read_bytes() == b"keep"
            assert not list(folder.glob(".vellomar-mark.*")), "temporary file left behind"
            return
    pytest.fail("vellomar-mark moved its file before OUTPUT could be made, up to 256 MiB")


# Marked files that do not come back: decoded all the same, said where and
# why, exit 0, and 3 with --strict. Rows: the file, the text it decodes to,
# a pattern for what the report must say.
NOT_BACK = [
    ("mixed", b"_PW_h\r\n\xbf\xc2\xbe\xf2\xf5\x9d\r\n\xbf\xc2\xbd\xf2\xf5\x9c\xf2\xf5",
     b"h\r\n@=A\r\nb\r\n@=B\r\nc\r\n",
     r"mixed: plain \(the --plain-breaks storing\), but the one at offset 21 of INPUT \(17 of "
     r"OUTPUT\) is stored scrambled.*with --plain-breaks would not give back INPUT: offset 21 of "
     r"INPUT would be 0x0D instead of 0xF2"),
    ("head repaired", b"_PW_head\xf5\xbf\xc2\xbe\xf2\xf5\x9d\xf2\xf5", b"hea\r\n@=A\r\nb\r\n",
     r"all scrambled.*offset 7 of INPUT would be 0x0D instead of 0x64: the head ends in 0x64 0xF5"),
    ("head of one byte repaired", b"_PW_h\xf5\xbf\xc2\xbe\xf2\xf5\x9d\xf2\xf5", b"\r\n@=A\r\nb\r\n",
     r"offset 4 of INPUT would be 0x0D instead of 0x68: the head ends in 0x68 0xF5 at offset 4 "
     r"of INPUT[^\n]*keeps in the head as it is\n"),
    ("head repaired over the mark", b"_PW_\xf5\xbf\xc2\xbe\xf2\xf5\xbf\xc2\xbd\xf2\xf5",
     b"\n@=A\r\n@=B\r\n",
     r"the head ends in 0x5F 0xF5 at offset 3 of INPUT[^\n]*. its CR falls on the mark's last "
     r"byte\n"),
    ("a break's LF stored plain", b"_PW_h\r\n\xbf\xc2\xbe\xf2\xf5\xbf\xc2\xbd\xf2\n\xbf\xc2\xbc",
     b"h\r\n@=A\r\n@=B\r\n@=C",
     r"offset 16 of INPUT would be 0xF5 instead of 0x0A: the line break at offset 15 of INPUT "
     r"is stored as 0xF2 0x0A, which the decoder's repair turns into CR LF, the other way from "
     r"the first break"),
    ("a break stored plain as CR LF", b"_PW_h\r\n\xbf\xc2\xbe\xf2\xf5\xbf\xc2\xbd\r\n\xbf\xc2\xbc",
     b"h\r\n@=A\r\n@=B\r\n@=C",
     r"offset 15 of INPUT would be 0xF2 instead of 0x0D: the line break at offset 15 of INPUT "
     r"is stored as 0x0D 0x0A, the other way from the first break; marking without"),
]


@pytest.mark.parametrize("strict", [[], ["--strict"]], ids=["", "--strict"])
@pytest.mark.parametrize("stored, text, said", [
    pytest.param(*row[1:], id=row[0]) for row in NOT_BACK])
def test_decode_says_what_does_not_come_back(tools, folder, stored, text, said, strict):
    (folder / "stored.txt").write_bytes(stored)
    result = tools.run(tools.mark, ["--decode", *strict, "--force", "stored.txt", "o.txt"], folder)
    assert result.status == (3 if strict else 0), result
    assert (folder / "o.txt").read_bytes() == text
    assert re.search(said, result.out, re.S), result.out


# Every marked file the tool writes from the examples and the fuzz corpora's
# texts, in either storing: decoded, the text; marked again as the report
# says, the file. A text it will not mark is said so.
TRIP_TEXTS = sorted([*EXAMPLES.glob("*.txt"), *(SOURCE / "fuzz/corpus/line_table").iterdir(),
                     *(SOURCE / "fuzz/corpus/string_table").iterdir()])
TRIPS = {}


@pytest.mark.parametrize("flag", [[], ["--plain-breaks"]], ids=["scrambled", "plain"])
@pytest.mark.parametrize("text", [
    pytest.param(path, id=str(path.relative_to(SOURCE))) for path in TRIP_TEXTS])
def test_decode_gives_back_what_mark_wrote(tools, folder, text, flag):
    shutil.copy(text, folder / "text")
    marking = tools.run(tools.mark, ["--force", *flag, "text", "marked"], folder)
    TRIPS[text, bool(flag)] = marking.status == 0
    if marking.status != 0:
        assert re.fullmatch(r"vellomar-mark: text: (no record marker|cannot be marked)[^\n]*\n",
                            marking.err), marking
        return
    decoding = tools.run(tools.mark, ["-d", "--strict", "--force", "marked", "decoded"], folder)
    storing = "all plain" if flag else "all scrambled"
    assert decoding.status == 0, decoding
    assert re.search(rf"line breaks: ({storing}|none in the scrambled part)", decoding.out)
    said = re.search(r"marking it again (with|without) --plain-breaks gives back INPUT byte for "
                     r"byte", decoding.out)
    assert said, decoding.out
    assert (folder / "decoded").read_bytes() == text.read_bytes()
    again = ["--plain-breaks"] if said[1] == "with" else []
    assert tools.run(tools.mark, ["--force", *again, "decoded", "again"], folder).status == 0
    assert (folder / "again").read_bytes() == (folder / "marked").read_bytes()


def test_decode_gives_back_many_files(tools):
    if len(TRIPS) < 2 * len(TRIP_TEXTS):
        pytest.skip("the round trips did not all run in this session")
    trips = sum(TRIPS.values())
    assert trips >= 30, f"only {trips} round trips: the examples or the corpora are missing"
