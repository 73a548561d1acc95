#!/usr/bin/env python3
"""The Python package as a user installs it: builds the wheel with Debian's
Python as docs/python.md says, checks what it holds, installs it into a
fresh virtual environment without the system's packages, and runs
test_package.py there (pytest itself comes from Debian's packages).

    run_package_tests.py SOURCE_DIR SCRATCH_DIR

Exits 77 with a "skipped: " line when pytest or venv is not installed.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import zipfile

# Debian's own Python, with its setuptools, wheel, venv and pytest: PATH may
# put another one first.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def run(*command, env=None):
    print("+", " ".join(command), flush=True)
    status = subprocess.call(command, env=env)
    if status != 0:
        sys.exit("failed (%d): %s" % (status, " ".join(command)))


def module_folder(module):
    """Where PYTHON imports module from, or None when it cannot."""
    found = subprocess.run([PYTHON, "-c", "import os, %s as m; print(os.path.dirname("
                            "os.path.dirname(m.__file__)))" % module],
                           capture_output=True, text=True)
    return found.stdout.strip() if found.returncode == 0 else None


def check_wheel(source, dist):
    with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as cmake:
        version = re.search(r"project\(Vellomar VERSION ([0-9.]+)", cmake.read()).group(1)
    wheels = glob.glob(os.path.join(dist, "*.whl"))
    if len(wheels) != 1 or not re.fullmatch(r"vellomar-%s-py3-none-[a-z0-9_]+\.whl"
                                            % re.escape(version), os.path.basename(wheels[0])):
        sys.exit("wheels: %s, expected one vellomar-%s-py3-none-PLATFORM.whl" % (wheels, version))
    with zipfile.ZipFile(wheels[0]) as wheel, open(os.path.join(source, "LICENSE"), "rb") as f:
        names = wheel.namelist()
        for wanted in ("vellomar/__init__.py", "vellomar/py.typed", "vellomar/libvellomar.so",
                       "vellomar-%s.dist-info/LICENSE" % version):
            if wanted not in names:
                sys.exit("%s lacks %s: %s" % (wheels[0], wanted, names))
        if wheel.read("vellomar-%s.dist-info/LICENSE" % version) != f.read():
            sys.exit("the wheel's LICENSE is not the tree's")
    return wheels[0]


def main(source, scratch):
    pytest_folder = module_folder("pytest")
    if pytest_folder is None or module_folder("ensurepip") is None:
        print("skipped: pytest or venv not found for %s (Debian: python3-pytest python3-venv)"
              % PYTHON)
        sys.exit(77)
    shutil.rmtree(scratch, ignore_errors=True)
    dist, venv = os.path.join(scratch, "dist"), os.path.join(scratch, "venv")
    env = dict(os.environ, VELLOMAR_BUILD_DIR=os.path.join(scratch, "build"))
    env.pop("VELLOMAR_LIBRARY", None)
    run(PYTHON, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", dist, source,
        env=env)
    wheel = check_wheel(source, dist)

    run(PYTHON, "-m", "venv", venv)
    python = os.path.join(venv, "bin", "python")
    run(python, "-m", "pip", "install", "--no-index", "--quiet", wheel, env=env)
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                          capture_output=True, text=True, check=True).stdout.strip()
    # pytest from Debian's folder; vellomar, which is not there, from the
    # environment's (test_installed_from_the_wheel checks which one came).
    env.update(PYTHONPATH=pytest_folder, VELLOMAR_TEST_SITE=site, PYTHONDONTWRITEBYTECODE="1")
    run(python, "-m", "pytest", "-p", "no:cacheprovider", "-q", "--rootdir", scratch,
        os.path.join(source, "tests", "python", "test_package.py"), env=env)
    shutil.rmtree(scratch)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
