#!/usr/bin/env python3
"""The packages as a user gets them: builds the "package" preset in a scratch
folder and packs it with CPack, checks the three Debian packages with lintian
and dpkg-deb (names, dependencies, which files each holds, none twice, the
.tar.gz holding the same tree), unpacks them into a scratch root, checks that
each copyright file states LICENSE, builds the C host there with
pkg-config, and checks that it prints exactly the entries the unpacked
vellomar-dump prints. The packages are packed twice, a while apart, and
must come out the same bytes; the library in them must be the very file
the build made.

    check_packages.py SOURCE_DIR SCRATCH_DIR
"""
import filecmp
import glob
import os
import re
import shutil
import sys
import tarfile
import time

from check_hosts import compare_hosts, run

LIBRARY, DEVELOPMENT, TOOLS = "libvellomar1", "libvellomar-dev", "vellomar-tools"


def files_of(deb):
    """The package's files and links, as paths below the root."""
    listing = run("dpkg-deb", "-c", deb).splitlines()
    return {line.split()[5][2:] for line in listing if not line.startswith("d")}


def expect(condition, why):
    if not condition:
        sys.exit(why)


def expect_licence(copyright, source, name):
    """The package's copyright file states LICENSE: the same holder, and the
    same text as its Expat licence paragraph (one space in, "." for an
    empty line)."""
    with open(os.path.join(source, "LICENSE"), encoding="utf-8") as f:
        licence = f.read()
    holder = re.search(r"^Copyright \(c\) (.+)$", licence, re.M).group(1)
    body = licence.split(holder + "\n\n", 1)[1]
    stated = re.search(r"^License: Expat\n((?: .*\n?)+)", copyright, re.M)
    expect(("Copyright: %s\n" % holder) in copyright and stated is not None,
           "%s: the copyright file does not name %s under Expat" % (name, holder))
    text = "".join("\n" if line == " ." else line[1:] + "\n"
                   for line in stated.group(1).splitlines())
    expect(text == body, "%s: the copyright file's licence is not LICENSE's" % name)


def main(source, scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    build, out, root = (os.path.join(scratch, name) for name in ("build", "out", "root"))
    run("cmake", "-S", source, "--preset", "package", "-B", build)
    run("cmake", "--build", build, "-j2")
    run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out)
    # Every file's time in the packages is older than a second: a packing
    # that wrote the time of packing would show it.
    time.sleep(1.1)
    again = os.path.join(scratch, "again")
    run("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", again)
    packed = sorted(os.path.basename(p) for p in glob.glob(out + "/*.deb") + glob.glob(out + "/*.tar.gz"))
    differ = [name for name in packed
              if not filecmp.cmp(os.path.join(out, name), os.path.join(again, name), shallow=False)]
    expect(not differ, "two packings of one build differ: %s" % differ)

    debs = {os.path.basename(p).split("_")[0]: p for p in glob.glob(out + "/*.deb")}
    expect(sorted(debs) == sorted([LIBRARY, DEVELOPMENT, TOOLS]), "packages: %s" % sorted(debs))
    run("lintian", "--fail-on", "error", *debs.values())

    version = run("dpkg-deb", "-f", debs[LIBRARY], "Version").strip()
    depends = {name: run("dpkg-deb", "-f", deb, "Depends").strip() for name, deb in debs.items()}
    exact = "%s (= %s)" % (LIBRARY, version)
    expect(depends[DEVELOPMENT] == exact, "%s depends on '%s'" % (DEVELOPMENT, depends[DEVELOPMENT]))
    expect(exact in depends[TOOLS].split(", "), "%s depends on '%s'" % (TOOLS, depends[TOOLS]))
    expect("vellomar" not in depends[LIBRARY], "%s depends on '%s'" % (LIBRARY, depends[LIBRARY]))

    files = {name: files_of(deb) for name, deb in debs.items()}
    libdir = os.path.dirname(next(f for f in files[LIBRARY] if f.endswith("/libvellomar.so.1")))
    wanted = {
        LIBRARY: [libdir + "/libvellomar.so.1", libdir + "/libvellomar.so.1.0.0"],
        DEVELOPMENT: ["usr/include/vellomar.h", libdir + "/libvellomar.so",
                      libdir + "/pkgconfig/vellomar.pc",
                      libdir + "/cmake/Vellomar/VellomarConfig.cmake"],
        TOOLS: ["usr/bin/vellomar-dump", "usr/bin/vellomar-mark",
                "usr/share/man/man1/vellomar-dump.1.gz", "usr/share/man/man1/vellomar-mark.1.gz"],
    }
    for name, paths in wanted.items():
        for path in paths + ["usr/share/doc/%s/copyright" % name]:
            owners = [other for other in files if path in files[other]]
            expect(owners == [name], "%s is in %s, expected in %s only" % (path, owners, name))
    every = set().union(*files.values())
    expect(sum(map(len, files.values())) == len(every), "a file is in two packages")

    # The archive is the same tree, from its own top folder and without /usr.
    archive = glob.glob(out + "/*.tar.gz")
    expect(len(archive) == 1, "archives: %s" % archive)
    with tarfile.open(archive[0]) as tar:
        tree = {m.name.split("/", 1)[1] for m in tar.getmembers() if not m.isdir()}
    expect(tree == {f[len("usr/"):] for f in every}, "the archive differs: %s" %
           sorted(tree.symmetric_difference(f[len("usr/"):] for f in every)))

    for deb in debs.values():
        run("dpkg-deb", "-x", deb, root)
    shipped = os.path.join(root, libdir, "libvellomar.so.1.0.0")
    expect(filecmp.cmp(shipped, os.path.join(build, "libvellomar.so.1.0.0"), shallow=False),
           "the packaged libvellomar.so.1.0.0 is not the one the build made")
    for name in debs:
        with open(os.path.join(root, "usr/share/doc", name, "copyright"), encoding="utf-8") as f:
            expect_licence(f.read(), source, name)
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(root, libdir, "pkgconfig"))
    flags = run("pkg-config", "--cflags", "--libs", "vellomar", env=env).split()
    host = os.path.join(scratch, "walk")
    run("cc", "-std=c99", "-Wall", "-Werror", os.path.join(source, "examples/hosts/c/walk.c"),
        "-o", host, *flags, "-Wl,-rpath," + os.path.join(root, libdir))
    checked = compare_hosts([os.path.join(root, "usr/bin/vellomar-dump")], {"pkg-config": [host]},
                            source)
    shutil.rmtree(scratch)
    print("the packages hold what the build made; %d host runs print what vellomar-dump prints"
          % checked)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
