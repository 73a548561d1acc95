#!/usr/bin/env python3
"""The Windows install tree and the Windows hosts, under Wine: installs the
cross build into a scratch prefix, checks the tree a Windows developer gets,
builds the C host against its import libraries (libVellomar.dll.a through
pkg-config, Vellomar.lib, and find_package) and the LoadLibraryA host, and
checks that each prints exactly the entries vellomar-dump.exe prints.

    check_windows_hosts.py BUILD_DIR SOURCE_DIR WINE MINGW_GCC TOOLCHAIN_FILE

for the 32-bit or the 64-bit build alike: MINGW_GCC and TOOLCHAIN_FILE are
the build's own, so the hosts are built for the DLL's architecture.
"""
import os
import sys
import tempfile

from check_hosts import compare_hosts, run


def main(build, source, wine, mingw, toolchain):
    scratch = tempfile.mkdtemp(prefix="vellomar-windows-hosts-")
    prefix = os.path.join(scratch, "prefix")
    run("cmake", "--install", build, "--prefix", prefix)
    for part in ("bin/Vellomar.dll", "bin/vellomar-dump.exe", "bin/vellomar-mark.exe",
                 "include/vellomar.h", "lib/libVellomar.dll.a",
                 "lib/Vellomar.lib", "lib/cmake/Vellomar/VellomarConfig.cmake"):
        if not os.path.isfile(os.path.join(prefix, part)):
            sys.exit("install tree lacks " + part)

    hosts_source = os.path.join(source, "examples", "hosts")
    walk_c = os.path.join(hosts_source, "c", "walk.c")
    bin_dir = os.path.join(prefix, "bin")  # beside the DLL, as Windows wants
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
    flags = run("pkg-config", "--cflags", "--libs", "vellomar", env=env).split()
    run(mingw, "-std=c99", "-Wall", "-Werror", walk_c, "-o",
        os.path.join(bin_dir, "walk-pkg-config.exe"), *flags)
    run(mingw, "-std=c99", "-Wall", "-Werror", walk_c, "-o", os.path.join(bin_dir, "walk-lib.exe"),
        "-I" + os.path.join(prefix, "include"), os.path.join(prefix, "lib", "Vellomar.lib"))
    run(mingw, "-std=c99", "-Wall", "-Werror", os.path.join(hosts_source, "windows", "walk_dll.c"),
        "-o", os.path.join(bin_dir, "walk_dll.exe"))
    cmake_build = os.path.join(scratch, "c-cmake")
    run("cmake", "-S", os.path.join(hosts_source, "c"), "-B", cmake_build,
        "-DCMAKE_TOOLCHAIN_FILE=" + toolchain,
        "-DVellomar_DIR=" + os.path.join(prefix, "lib", "cmake", "Vellomar"),
        "-DCMAKE_RUNTIME_OUTPUT_DIRECTORY=" + bin_dir)
    run("cmake", "--build", cmake_build)

    dump = [wine, os.path.join(bin_dir, "vellomar-dump.exe")]
    hosts = {name: [wine, os.path.join(bin_dir, name + ".exe")]
             for name in ("walk", "walk-pkg-config", "walk-lib", "walk_dll")}
    # Under user-mode emulation (cmake/emulate-i386) every Wine start is
    # slow: each host runs once, on the marked example, the one that the DLL
    # decodes.
    emulator = os.environ.get("VELLOMAR_EMULATED_BY")
    runs = [(os.path.join(source, "examples", "marked.txt"), [])] if emulator else None
    checked = compare_hosts(dump, hosts, source, runs)
    run("rm", "-rf", scratch)
    print("%d passed, 0 failed" % checked)
    if emulator:
        print("left out under %s: the other examples and modes, which run where the"
              " kernel runs 32-bit programs" % emulator)


if __name__ == "__main__":
    main(*sys.argv[1:])
