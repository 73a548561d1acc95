#!/usr/bin/env python3
"""The Windows zip as a user gets it: packs a Windows build folder twice, a
while apart, into a scratch folder, and checks that the two zips are the same
bytes and that every program and DLL in them is the very file the build made
(so that the hash check of docs/reproducible-builds.md holds for what ships).

    check_windows_zip.py BUILD_DIR SCRATCH_DIR
"""
import filecmp
import glob
import os
import shutil
import sys
import time
import zipfile

from check_hosts import run


def pack(build, out):
    run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out)
    zips = glob.glob(out + "/*.zip")
    if len(zips) != 1:
        sys.exit("zips: %s" % zips)
    return zips[0]


def main(build, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    first = pack(build, os.path.join(scratch, "first"))
    time.sleep(2.1)  # a zip keeps times to two seconds
    second = pack(build, os.path.join(scratch, "second"))
    if not filecmp.cmp(first, second, shallow=False):
        sys.exit("two packings of one build differ: %s, %s" % (first, second))
    with zipfile.ZipFile(first) as archive:
        binaries = [n for n in archive.namelist() if n.lower().endswith((".dll", ".exe"))]
        if not any(n.endswith("/Vellomar.dll") for n in binaries):
            sys.exit("no Vellomar.dll in %s: %s" % (first, archive.namelist()))
        for name in binaries:
            built = os.path.join(build, "bin", os.path.basename(name))
            if archive.read(name) != open(built, "rb").read():
                sys.exit("%s in the zip is not %s" % (name, built))
    shutil.rmtree(scratch)
    print("the zip holds the build's own %s, the same in two packings"
          % ", ".join(sorted(os.path.basename(n) for n in binaries)))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
