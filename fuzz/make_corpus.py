#!/usr/bin/env python3
"""Writes the fuzz targets' starting inputs into fuzz/corpus/<target>/.

The inputs are committed; run this again only after changing it. Each
target's input layout is described at the top of its source file. Files named
regression_* are inputs that once failed, kept as they were found; this
script leaves them alone.
"""
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples"


def complement(text: bytes) -> bytes:
    return bytes(b ^ 0xFF for b in text)


def repeated(times: int, body: bytes) -> bytes:
    """An input whose data is body, times over (line_table and decode)."""
    n = times - 1
    return bytes([0xFF, n >> 8, n & 0xFF]) + body


plain = (EXAMPLES / "plain.txt").read_bytes()
record = (EXAMPLES / "record.txt").read_bytes()
record_text = b"hdr\r\n@=A\r\nbodyA1\r\nbodyA2\r\n@=B\r\nbodyB"
scrambled = b"h\r\n" + complement(b"@=A\r\nb\r\n@=B\r\nc\r\n")
half_plain = b"h\r\n" + complement(b"@=A\r\nb") + b"\r\n" + complement(b"@=B\r\nc") + b"\r\n"

texts = {
    "plain_example": plain,
    "record_example": record,
    "record_text": record_text,
    "marker_after_marker": b"hdr\r\n@=A\r\n@=B\r\nbodyB\r\n@=C\r\nbodyC",
    "marker_at_start": b"@=A\r\nbody\r\n@=B\r\nx",
    "lone_cr_and_lf": b"ab\r\r\ncd\n\r",
    "bare_marker_at_end": b"hdr\r\n@=",
    "marked": b"_PW_" + scrambled,
}

corpus = {"line_table": {}, "decode": {}, "string_table": {}}

for name, text in texts.items():
    corpus["line_table"][name] = text
corpus["line_table"]["empty"] = b""
corpus["line_table"]["plain_at_the_limit"] = repeated(16383, b"\r\n")
corpus["line_table"]["plain_past_the_limit"] = repeated(16385, b"\r\n")
corpus["line_table"]["record_past_the_limit"] = repeated(32768, b"\r\n@=")
corpus["line_table"]["record_bodies_past_the_limit"] = repeated(16400, b"\r\n@=x\r\ny")
corpus["line_table"]["entry_over_64k"] = repeated(20000, b"abcd")

corpus["decode"]["breaks_scrambled"] = scrambled
corpus["decode"]["breaks_stored_plain"] = half_plain
corpus["decode"]["no_stored_marker"] = b"h\r\nplain\r\nlines"
corpus["decode"]["stored_marker_at_end"] = b"h\r\n\xbf\xc2"
corpus["decode"]["stored_at_last"] = b"h\r\n\xbf\xc2x\xbf"
corpus["decode"]["repair_reaches_the_mark"] = b"\xf5\xbf\xc2A"
corpus["decode"]["record_example"] = b"\r\n" + complement(record[record.index(b"@="):])
corpus["decode"]["long_scrambled"] = repeated(3000, complement(b"@=A\r\nline\r\n"))
corpus["decode"]["long_breaks_stored_plain"] = repeated(3000, complement(b"@=A\r\nline") + b"\r\n")
corpus["decode"]["long_without_stored_marker"] = repeated(9000, b"abc\r\n")

# Header bits: 0 record mode, 1-2 expected size (exact, +1, -1, given),
# 3-4 box answer (OK, Cancel, failure).
for name, text in texts.items():
    corpus["string_table"][name + "_plain"] = b"\x00" + text
    corpus["string_table"][name + "_record"] = b"\x01" + text
corpus["string_table"]["empty"] = b"\x00"
corpus["string_table"]["one_short"] = b"\x02" + plain
corpus["string_table"]["one_long_cancel"] = b"\x0c" + plain
corpus["string_table"]["given_size_box_fails"] = b"\x16\x05" + record_text
corpus["string_table"]["plain_past_the_limit"] = b"\x00" + b"\r\n" * 16385

for target, inputs in corpus.items():
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in inputs.items():
        (folder / name).write_bytes(data)
