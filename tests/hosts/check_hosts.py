#!/usr/bin/env python3
"""Installs the build into a scratch prefix, builds the example hosts of the
languages asked for against it, and checks that each prints exactly the
entries vellomar-dump prints, on every shipped example in both modes:

    c        the C host, built with find_package and with pkg-config
    python   the vellomar package's host, python -m vellomar (ctypes)
    csharp   the P/Invoke host, built with Mono's mcs and run with mono
    pascal   the Free Pascal host, its unit and program built with fpc

    check_hosts.py BUILD_DIR SOURCE_DIR [LANGUAGE...]   (all of them by default)
    check_hosts.py --lacking LANGUAGE

A language whose toolchain is not installed is not checked: the script says
which programs and Debian packages it lacks, on a line of its own that starts
"skipped: ", and exits 77 once the others have passed. --lacking prints only
that line, or nothing where the toolchain is there: the build asks it at
configure time where every host must be checked.
"""
import glob
import json
import os
import shutil
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


def build_c(hosts_source, scratch, prefix, libdir):
    cmake_build = os.path.join(scratch, "c-cmake")
    run("cmake", "-S", os.path.join(hosts_source, "c"), "-B", cmake_build,
        "-DCMAKE_PREFIX_PATH=" + prefix)
    run("cmake", "--build", cmake_build)

    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(libdir, "pkgconfig"))
    flags = run("pkg-config", "--cflags", "--libs", "vellomar", env=env).split()
    pc_host = os.path.join(scratch, "walk-pkg-config")
    run("cc", "-std=c99", "-Wall", "-Werror", os.path.join(hosts_source, "c", "walk.c"),
        "-o", pc_host, *flags, "-Wl,-rpath," + libdir)
    return {"find_package": [os.path.join(cmake_build, "walk")], "pkg-config": [pc_host]}


def build_python(hosts_source, scratch, prefix, libdir):
    # The package's own host, python -m vellomar, from the source tree, on
    # the installed library.
    package = os.path.join(os.path.dirname(os.path.dirname(hosts_source)), "python")
    return {"python": ["env", "PYTHONPATH=" + package, "PYTHONDONTWRITEBYTECODE=1",
                       "VELLOMAR_LIBRARY=" + os.path.join(libdir, "libvellomar.so"),
                       sys.executable, "-m", "vellomar"]}


def build_csharp(hosts_source, scratch, prefix, libdir):
    program = os.path.join(scratch, "walk.exe")
    run("mcs", "-warnaserror", "-out:" + program, os.path.join(hosts_source, "csharp", "walk.cs"))
    # DllImport("vellomar") finds libvellomar.so where the loader looks.
    return {"csharp": ["env", "LD_LIBRARY_PATH=" + libdir, "mono", program]}


def build_pascal(hosts_source, scratch, prefix, libdir):
    out = os.path.join(scratch, "pascal")
    os.mkdir(out)
    run("fpc", "-Sew", "-vew", "-FE" + out, "-FU" + out, "-Fl" + libdir, "-k-rpath=" + libdir,
        os.path.join(hosts_source, "pascal", "walk.pas"))
    return {"pascal": [os.path.join(out, "walk")]}


# Each language: how its hosts are built, the programs that takes, and the
# Debian packages that bring them (tools/check.sh installs them).
LANGUAGES = {
    "c": (build_c, ["cmake", "cc", "pkg-config"], "cmake gcc pkgconf"),
    "python": (build_python, [], ""),
    "csharp": (build_csharp, ["mcs", "mono"], "mono-mcs mono-runtime"),
    "pascal": (build_pascal, ["fpc"], "fp-compiler fp-units-rtl"),
}


def lacking(name):
    """The line that says what the language's host lacks, or ""."""
    missing = [program for program in LANGUAGES[name][1] if shutil.which(program) is None]
    if not missing:
        return ""
    return ("skipped: the %s host: %s not found (Debian: %s)"
            % (name, " and ".join(missing), LANGUAGES[name][2]))


def main(build, source, *languages):
    languages = languages or tuple(LANGUAGES)
    unknown = [name for name in languages if name not in LANGUAGES]
    if unknown:
        sys.exit("unknown languages %s; known: %s" % (unknown, " ".join(LANGUAGES)))
    skipped = {name: lacking(name) for name in languages if lacking(name)}
    languages = [name for name in languages if name not in skipped]

    scratch = tempfile.mkdtemp(prefix="vellomar-hosts-")
    prefix = os.path.join(scratch, "prefix")
    run("cmake", "--install", build, "--prefix", prefix)
    libdir = next(os.path.dirname(p) for p in glob.glob(prefix + "/**/libvellomar.so",
                                                         recursive=True))
    hosts_source = os.path.join(source, "examples", "hosts")
    hosts = {}
    for name in languages:
        hosts.update(LANGUAGES[name][0](hosts_source, scratch, prefix, libdir))

    dump = os.path.join(prefix, "bin", "vellomar-dump")
    checked = compare_hosts([dump], hosts, source) if hosts else 0
    run("rm", "-rf", scratch)
    print("%d host runs print what vellomar-dump prints" % checked)
    if skipped:
        print("\n".join(skipped.values()))
        sys.exit(77)


def every_example(source):
    """Every shipped example in both modes, as (file, mode) pairs."""
    return [(example, mode)
            for example in sorted(glob.glob(os.path.join(source, "examples", "*.txt")))
            for mode in ([], ["--record"])]


def compare_hosts(dump_command, hosts, source, runs=None):
    """Runs every host on each (file, mode) of runs, every shipped example in
    both modes by default; exits on the first whose rows differ from the
    dump's. Returns how many runs matched."""
    checked = 0
    for example, mode in runs or every_example(source):
        expected = lines(expected_rows(dump_command, example, mode))
        for name, host in hosts.items():
            got = lines(run(*host, *mode, example))
            if got != expected:
                sys.exit("%s host differs on %s %s:\n%s\nexpected:\n%s"
                         % (name, example, mode, got, expected))
            checked += 1
    return checked


if __name__ == "__main__":
    if sys.argv[1:2] == ["--lacking"]:
        print(lacking(sys.argv[2]))
    else:
        main(*sys.argv[1:])
