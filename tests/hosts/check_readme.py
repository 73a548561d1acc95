#!/usr/bin/env python3
"""Runs the README's quick start as it is written there, on this build.

    check_readme.py BUILD_DIR SOURCE_DIR

From each shell block of the quick start, every command between "&&" that
runs a program of build/release/ runs here from the source folder, with
build/release/ standing for BUILD_DIR and /tmp/ for a scratch folder; the
workflow that builds them is the suite's own. The blocks run twice, so that a
second run on the files of the first works as the README says. The record
example's entries must come back from its marked file, behind the mark.
"""
import os
import re
import shlex
import shutil
import sys
import tempfile

from check_hosts import run


def quick_start_commands(readme):
    """The runnable parts of each shell block under "## Quick start"."""
    section = re.search(r"^## Quick start\n(.*?)(?=^## )", readme, re.M | re.S)
    if not section:
        sys.exit("README.md has no Quick start section")
    blocks = re.findall(r"^```sh\n(.*?)^```", section.group(1), re.M | re.S)
    commands = [[shlex.split(part) for part in " ".join(block.split("\n")).split("&&")]
                for block in blocks]
    return [[words for words in block if words and words[0].startswith("build/release/")]
            for block in commands]


def rows(dump_output):
    """vellomar-dump's rows as (index, text), below its two header lines."""
    found = [line.split(None, 3) for line in dump_output.splitlines()[2:]]
    return [(int(words[0]), words[3] if len(words) > 3 else "") for words in found]


def main(build, source):
    with open(os.path.join(source, "README.md"), encoding="utf-8") as readme:
        blocks = [block for block in quick_start_commands(readme.read()) if block]
    dumps = [words for block in blocks for words in block if words[0].endswith("vellomar-dump")]
    if len(blocks) != 2 or len(dumps) != 2:
        sys.exit("expected the quick start's two blocks, each ending in vellomar-dump: %s" % blocks)

    scratch = tempfile.mkdtemp(prefix="vellomar-readme-")
    os.chdir(source)
    outputs = []
    for _ in range(2):
        outputs = []
        for block in blocks:
            for words in block:
                words = [os.path.join(build, w[len("build/release/"):]) if w.startswith("build/release/")
                         else os.path.join(scratch, w[len("/tmp/"):]) if w.startswith("/tmp/")
                         else w for w in words]
                output = run(*words)
                if words[0].endswith("vellomar-dump"):
                    outputs.append(output)
    plain, marked = (rows(output) for output in outputs)
    if not plain or [i for i, _ in marked] != [i for i, _ in plain] or \
            marked[0][1] != "_PW_" + plain[0][1] or marked[1:] != plain[1:]:
        sys.exit("the marked file did not give back the records:\n%s\n%s" % tuple(outputs[-2:]))
    shutil.rmtree(scratch)
    print("%d commands passed, 0 failed" % (2 * sum(map(len, blocks))))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
