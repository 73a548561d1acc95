#!/usr/bin/env python3
"""Installs the build into a scratch prefix, builds the C host against it with
find_package and with pkg-config, and checks that the C hosts and the Python
host print exactly the entries vellomar-dump prints, on every shipped example.

    check_hosts.py BUILD_DIR SOURCE_DIR
"""
import glob
import json
import os
import subprocess
import sys
import tempfile


def run(*command, env=None):
    result = subprocess.run(command, capture_output=True, env=env)
    if result.returncode != 0:
        sys.exit("failed (%d): %s\n%s%s" % (result.returncode, " ".join(command),
                                            result.stdout.decode(errors="replace"),
                                            result.stderr.decode(errors="replace")))
    return result.stdout.decode("ascii")


def escape(text):
    named = {0x5C: "\\\\", 0x09: "\\t", 0x0D: "\\r", 0x0A: "\\n"}
    return "".join(named.get(b) or (chr(b) if 0x20 <= b < 0x7F else "\\x%02X" % b)
                   for b in text)


def lines(output):
    """Host output with Windows line ends made plain: the text itself never
    holds a raw CR or LF, the hosts escape them."""
    return output.replace("\r\n", "\n")


def expected_rows(dump_command, example, mode):
    document = json.loads(run(*dump_command, "--json", *mode, example))
    rows = ["%d %d %d %s" % (e["index"], e["offset"], e["length"],
                             escape(e["text"].encode("latin-1")))
            for e in document["entries"]]
    if len(rows) != document["count"] or not rows:
        sys.exit("vellomar-dump gave %d rows for count %d" % (len(rows), document["count"]))
    return "\n".join(rows) + "\n"


def main(build, source):
    scratch = tempfile.mkdtemp(prefix="vellomar-hosts-")
    prefix = os.path.join(scratch, "prefix")
    run("cmake", "--install", build, "--prefix", prefix)
    libdir = next(os.path.dirname(p) for p in glob.glob(prefix + "/**/libvellomar.so",
                                                         recursive=True))

    hosts_source = os.path.join(source, "examples", "hosts")
    cmake_build = os.path.join(scratch, "c-cmake")
    run("cmake", "-S", os.path.join(hosts_source, "c"), "-B", cmake_build,
        "-DCMAKE_PREFIX_PATH=" + prefix)
    run("cmake", "--build", cmake_build)

    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))
    flags = run("pkg-config", "--cflags", "--libs", "vellomar", env=env).split()
    pc_host = os.path.join(scratch, "walk-pkg-config")
    run("cc", "-std=c99", "-Wall", "-Werror", os.path.join(hosts_source, "c", "walk.c"),
        "-o", pc_host, *flags, "-Wl,-rpath," + libdir)

    dump = os.path.join(prefix, "bin", "vellomar-dump")
    hosts = {
        "find_package": [os.path.join(cmake_build, "walk")],
        "pkg-config": [pc_host],
        "python": [sys.executable, os.path.join(hosts_source, "python", "walk.py"),
                   "--library", os.path.join(libdir, "libvellomar.so")],
    }
    checked = compare_hosts([dump], hosts, source)
    run("rm", "-rf", scratch)
    print("%d passed, 0 failed" % checked)


def compare_hosts(dump_command, hosts, source):
    """Runs every host on every shipped example in both modes; exits on the
    first whose rows differ from the dump's. Returns how many runs matched."""
    checked = 0
    for example in sorted(glob.glob(os.path.join(source, "examples", "*.txt"))):
        for mode in ([], ["--record"]):
            expected = lines(expected_rows(dump_command, example, mode))
            for name, host in hosts.items():
                got = lines(run(*host, *mode, example))
                if got != expected:
                    sys.exit("%s host differs on %s %s:\n%s\nexpected:\n%s"
                             % (name, example, mode, got, expected))
                checked += 1
    return checked


if __name__ == "__main__":
    main(*sys.argv[1:])
