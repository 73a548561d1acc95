"""The wheel's build: the shared library comes from CMake, the version from
CMakeLists.txt. Everything else is in pyproject.toml.

VELLOMAR_BUILD_DIR names the folder for both CMake's build and setuptools'
(build/python by default)."""
import glob
import os
import re
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70: the wheel package's command
    from wheel.bdist_wheel import bdist_wheel

SOURCE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(os.environ.get("VELLOMAR_BUILD_DIR")
                        or os.path.join(SOURCE, "build", "python"))


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as cmake:
        found = re.search(r"project\(Vellomar VERSION ([0-9.]+)", cmake.read())
    if not found:
        sys.exit("setup.py: no project(Vellomar VERSION ...) in CMakeLists.txt")
    return found.group(1)


def built_library():
    """Builds the shared library alone, Release; returns its one real file
    (on Linux the one the SONAME link names, on Windows the DLL)."""
    cmake_build = os.path.join(BUILD, "cmake")
    subprocess.check_call(["cmake", "-S", SOURCE, "-B", cmake_build,
                           "-DCMAKE_BUILD_TYPE=Release", "-DVELLOMAR_BUILD_TESTS=OFF",
                           "-DVELLOMAR_BUILD_TOOLS=OFF"])
    subprocess.check_call(["cmake", "--build", cmake_build, "--target", "vellomar", "-j2"])
    found = [path for path in glob.glob(cmake_build + "/*") + glob.glob(cmake_build + "/bin/*")
             if re.search(r"(libvellomar\.so\.[.0-9]+|Vellomar\.dll)$", path)
             and not os.path.islink(path)]
    if len(found) != 1:
        sys.exit("setup.py: expected one library file in %s, found %s" % (cmake_build, found))
    return found[0]


class BuildWithLibrary(build_py):
    """Puts the library into the package under the name it loads."""

    def run(self):
        super().run()
        library = built_library()
        name = "Vellomar.dll" if library.endswith(".dll") else "libvellomar.so"
        target = os.path.join(self.build_lib, "vellomar", name)
        self.copy_file(library, target)


class WithLibrary(Distribution):
    """Not pure Python: the package carries a library of one platform, and
    installs where such packages go."""

    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    """The package calls the library through ctypes: any Python 3 of the
    library's platform, no interpreter ABI."""

    def get_tag(self):
        return ("py3", "none", super().get_tag()[2])


os.makedirs(BUILD, exist_ok=True)
setup(version=project_version(), distclass=WithLibrary,
      cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel},
      options={"build": {"build_base": BUILD},
               "egg_info": {"egg_base": BUILD}})
